// The cases file: one JSON object a line, each a program to start, how, and what it must do.
// The reader is strict and bounded: every limit below is checked before the memory is taken.
#pragma once

#include "bytes.hpp"
#include "process.hpp"

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cases {

// The streams of the file by their names: standard input's, and standard output's and error's.
inline const std::map<std::string, process::Stream> inputStreams = {
    {"/dev/null", process::Stream::DevNull},
    {"closed", process::Stream::Closed},
    {"pipe holding data", process::Stream::PipeWithData}};
inline const std::map<std::string, process::Stream> outputStreams = {
    {"pipe", process::Stream::Pipe},
    {"closed", process::Stream::Closed},
    {"/dev/null", process::Stream::DevNull},
    {"/dev/full", process::Stream::DevFull},
    {"broken pipe", process::Stream::BrokenPipe},
    {"pty", process::Stream::Pty},
    {"socket", process::Stream::Socket},
    {"socket, peer closed", process::Stream::ClosedSocket},
    {"file", process::Stream::File},
    {"fifo", process::Stream::Fifo},
    {"file, appended", process::Stream::AppendFile}};

// The programs a case may name.
inline const char *const programs[] = {"print-args", "print-sentence", "exit-zero"};

// The kernel takes an argument of at most 128 KiB with its NUL, and an argument vector of at most
// a quarter of the stack limit, never more than 6 MiB; a case has room for that and its outputs.
inline constexpr size_t maxArgument = 128 * 1024 - 1;
// Arguments, environment entries and expected outputs, expanded; each argument and entry also
// counts its NUL and what keeping it takes.
inline constexpr size_t maxCaseBytes = 16 << 20;
inline constexpr size_t perString = 32 + 1;
inline constexpr size_t maxLine = 16 << 20; // bytes of one line of the file
inline constexpr size_t maxCases = 100'000;
inline constexpr size_t maxName = 1024; // bytes of a case's name
inline constexpr unsigned maxRepeat = 100'000;
inline constexpr size_t maxTotalBytes = 256 << 20; // of all the cases, expanded
// The stack limit of a case that names none: Linux's usual soft limit.
inline constexpr unsigned long long defaultStack = 8 << 20;
// A case, its list of arguments, a run of equal ones, an argument's pieces, a piece.
inline constexpr int maxDepth = 5;
// The most descriptors any kernel lets a process have (its nr_open can be no more).
inline constexpr uint64_t maxDescriptors = 2147483584;
// What the names of --random's cases start with, which no case of a file's may.
inline constexpr const char *randomNames = "random/";

struct Case {
  int line = 0;
  std::string name, program;
  bytes::List args; // as the file gives them, expanded where the case starts
  // How it is started, all but its argument vector: streams, environment, limits, signals, and
  // what is done to it while it runs.
  process::Start start;
  bytes::Bytes out, err;  // expected on the streams read back
  bool outPrefix = false; // standard output is then a part of `out` from its start, never all
  process::Ending ending; // an exit status or a signal
  unsigned repeat = 1;    // how many times it is started, each a fresh process
  double startWithin = 0; // the most seconds from its start to its end; 0: no bound but --timeout
  // Where the program is started directly or through binfmt_misc: the argv[0] it gets (else its
  // path), or none at all, an empty vector.
  std::optional<std::string> argv0;
  bool noVector = false;
  // The path it is executed by: its own; a symbolic link in its working folder, by a relative
  // path holding a space and bytes beyond ASCII; or a copy there that may be executed but not
  // read (mode 0111), started without the privilege to read it all the same.
  enum class StartedAs { Path, Link, ExecOnly } startedAs = StartedAs::Path;
};

// The name of the link or copy a case started through one is executed by, in its working folder.
std::string linkName(const std::string &program);

// The name a case gives a resource limit ("stack" for RLIMIT_STACK), or its number.
std::string limitName(int resource);

// The number of a standard signal's name ("SIGPIPE", or another name of the same signal such as
// "SIGPOLL" for SIGIO); 0 for none.
int signalNumber(const std::string &name);

// Says what is wrong with a cases file, and where: "FILE:LINE: what", on one line.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The cases in `text`; `file` names it in messages.
std::vector<Case> parse(std::string_view text, const std::string &file);

// The cases in the file at `path`, which may be a pipe; one that gives nothing within `timeout`
// is malformed too.
std::vector<Case> read(const std::string &path, std::chrono::milliseconds timeout);

} // namespace cases
