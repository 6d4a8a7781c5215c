// Starts a program as a process of its own, exactly as asked (its standard streams, its
// environment, its resource limits, the signals it starts with ignored or blocked; every other
// signal at its default action and no descriptor but 0, 1 and 2), waits for it, collects what it
// wrote, and does to it while it runs what a case asks (a signal sent once it blocks writing, a
// reader that leaves part-way or reads slowly). The process leads a process group of its own, and
// the whole group is killed when it ends, times out or writes past its bound, so that nothing it
// started outlives it. Shared by the checker, the test suite and the benchmark.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace process {

// What one of the child's standard streams is. Pipe, Pty, Socket, File and Fifo are read back by
// the caller (a File once the process has ended); BrokenPipe is a pipe whose reading end is
// already closed, ClosedSocket a socket whose peer is.
enum class Stream {
  Inherited,
  Pipe,
  Closed,
  DevNull,
  DevFull,
  BrokenPipe,
  Pty,
  Socket,
  ClosedSocket,
  File,
  Fifo,
  PipeWithData, // standard input: a pipe that holds `heldInput`, closed behind it
  AppendFile,   // a regular file opened for appending, which holds `appendedTo` already
};

// What standard input's pipe holds for a program that never reads it; and what a file opened for
// appending holds before the program writes to it.
inline constexpr std::string_view heldInput =
    "These bytes are for whatever reads standard input after the program.\n";
inline constexpr std::string_view appendedTo = "These bytes were in the file before.\n";

// Whether the caller reads what a stream of this kind holds.
constexpr bool readBack(Stream s) {
  return s == Stream::Pipe || s == Stream::Pty || s == Stream::Socket || s == Stream::File ||
         s == Stream::Fifo || s == Stream::AppendFile;
}

struct Streams {
  Stream in = Stream::DevNull, out = Stream::Pipe, err = Stream::Pipe;
};

// A resource limit (RLIMIT_*) the process starts with: its soft limit, the hard one unchanged.
struct Limit {
  int resource = 0;
  unsigned long long soft = 0; // RLIM_INFINITY for none
  bool toHard = false;         // the soft limit raised to the hard one, whatever that is
};

// How the caller reads standard output.
enum class Reader {
  Fast,       // as fast as it can
  Slow,       // a pipe's worth at a time, then a pause, so that the pipe stays full
  CloseAfter, // reads `closeAfter` bytes, then closes its end
};

// Everything about how a process is started and what is done to it while it runs.
struct Start {
  std::vector<std::string> argv; // argv[0] looked up on the PATH when it has no slash
  // What is executed where not argv[0] (which may then be anything, or the vector empty): taken
  // as it is, relative to the working folder.
  std::string path;
  // Where not empty, made in the fresh working folder before the start (and removed after): a
  // symbolic link of this name to `linkTo`; or, with `execOnly`, a copy of it that may be
  // executed but not read (mode 0111), and the process started without the capabilities that
  // would read it all the same (root's: none are gained at exec either).
  std::string linkName, linkTo;
  bool execOnly = false;
  // Where not empty, why it cannot be started as asked here: it is not, and ends NotArranged.
  std::string notArranged;
  Streams streams;
  std::vector<std::string> environment; // entries as they are, "NAME=value" or not
  std::vector<Limit> limits;
  std::vector<int> ignored, blocked; // signals at the start; all others at their default
  // Sent once standard output, a pipe, is full: the process is then blocked writing. To the
  // process, or to its whole group.
  int send = 0;
  bool sendToGroup = false;
  // Once the signal is sent, standard output is left unread until the process has ended, or for
  // this long at most: a runner that passes the signal on late must not let the program finish.
  std::chrono::milliseconds holdAfterSend{0};
  size_t pipeSize = 0; // what standard output's pipe holds (F_SETPIPE_SZ); 0: the system's own
  // Conditions a caller may start it under: no new privileges (prctl); ptrace failing with EPERM
  // (a seccomp filter, which takes no new privileges too where this process is not root); its
  // working folder deleted before it starts; the writing end of a pipe as descriptor 3, which
  // must be closed everywhere once it has ended; /proc hidden (an empty, read-only file system
  // over it, in a mount namespace of its own, which takes root); one process at most, it
  // included (a pids cgroup of its own where this process is root, else RLIMIT_NPROC, which
  // holds for every user but root).
  bool noNewPrivileges = false, ptraceDenied = false, folderDeleted = false, passesPipe = false;
  bool procHidden = false, oneProcess = false;
  Reader reader = Reader::Fast;
  size_t closeAfter = 0;
  // Started in an empty folder of its own under TMPDIR or /tmp, removed after (once what the
  // process left there is listed); else in this process's working folder.
  bool freshFolder = false;
};

// How long the supervisor lets a process run and how much it keeps of what it writes (its
// resource limits are the Start's).
struct Bounds {
  std::chrono::milliseconds timeout{}; // zero: no limit
  // Bytes kept of each stream read back; one more and the group is killed.
  size_t out = std::numeric_limits<size_t>::max(), err = std::numeric_limits<size_t>::max();
  // How messages name the process started: "the command", "the runner".
  std::string who = "the command";
};

// How a process ended, as a value.
struct Ending {
  enum class Kind {
    Exited,      // code: its status
    Signaled,    // code: the signal
    TimedOut,    // code: the milliseconds it had
    TooMuch,     // it wrote more than its bound; detail names the stream and the bound
    PipesHeld,   // it ended, but what it started kept its streams open; detail says which
    NotStarted,  // detail: why, as the system says it
    Failure,     // this process could not have what it takes to start it; detail: what
    NotArranged, // a condition it asks for cannot be had here; detail: why, and what would do
  };
  Kind kind = Kind::Exited;
  int code = 0;
  std::string detail;

  static Ending exited(int status) { return {Kind::Exited, status, ""}; }
  static Ending signaled(int signal) { return {Kind::Signaled, signal, ""}; }
  // An exit or a signal compares by its number; anything else by its kind and words.
  bool operator==(const Ending &other) const {
    return kind == other.kind && code == other.code && detail == other.detail;
  }
  // In words: "exit 0", "signal SIGPIPE", "timed out after 1 s", "not started: ...",
  // "not arranged: ...".
  std::string text() const;
};

// A process that has ended, as its supervisor saw it: how it ended and what it wrote and left.
struct Finished {
  Ending ending;
  std::string out, err;          // what it wrote to the streams read back
  std::string in;                // what was left unread of standard input (PipeWithData)
  double seconds = 0;            // from the start to the end of the supervision
  std::vector<std::string> left; // what it left in its fresh folder, by name
};

// Starts the process and waits for it and for its streams. Once it has ended, what it left
// holding a stream has a short grace to close it.
Finished run(const Start &start, const Bounds &bounds = {});
Finished run(const std::vector<std::string> &argv, const Streams &streams = {},
             const Bounds &bounds = {});

// Makes the processes that run() starts and that leave their process group (setsid) still this
// process's to end: their orphans are given to it rather than to init. Holds for the whole
// process, so call it once, before any thread starts.
void adoptOrphans();

// Ends every process group run() is supervising, and from now on each that it starts, at once:
// for a process that is told to stop. Safe to call from any thread.
void endAll();

// Reaps the children that run() did not start (orphans adopted) and that have ended, so that
// none stays a zombie. Call it whenever this process is told that a child has ended.
void reapOrphans();

// Removes every working folder (see Start::freshFolder) now, for a process that ends; says, one
// line each, what could not be removed. A process that exits without asking has them removed
// then, silently.
std::vector<std::string> removeWorkingFolders();

// Ends and reaps every child that run() has not reaped: what the commands left that escaped
// their group. Call it when no run() is under way. Gives up after two seconds on any that
// cannot be ended.
void endOrphans();

// How it ended, in words (Ending::text).
inline std::string ending(const Finished &outcome) { return outcome.ending.text(); }

// "SIGPIPE" for SIGPIPE; the number, for a signal with no name.
std::string signalName(int signal);

// Where a command is, as an absolute path: itself when it names a folder, else the first
// executable file of that name in the PATH's folders (an empty one is the current folder, as for
// the shells); "" where there is none. How run() finds argv[0].
std::string located(const std::string &name);

// A command line split at white space, the way the runners are given.
std::vector<std::string> words(const std::string &commandLine);

} // namespace process
