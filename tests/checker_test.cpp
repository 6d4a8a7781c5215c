// The checker's input and reports: bad use and malformed cases get exit status 2 and one line that
// says what is wrong, and no report; a failure says where its bytes first differ; a report is
// whole or says that it is not, and stays well-formed for any bytes.
#include "checker_support.hpp"
#include "process.hpp"
#include "processors.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace checker_test;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using process::Stream;

TEST(Checker, SaysWhereTheFirstDifferenceIs) {
  process::Finished tap = check({}, "trailing_space");
  // Every test's YAML gives its time, which differs from run to run.
  std::string report = std::regex_replace(tap.out, std::regex("  duration_ms: [0-9.]+\n"), "");
  EXPECT_NE(report.find("not ok 3 - print-args/three\n"
                        "  ---\n"
                        "  message: \"stdout differs from byte 5\"\n"
                        "  stdout:\n"
                        "    first_difference: 5\n"
                        "    expected_length: 6\n"
                        "    actual_length: 7\n"
                        "    expected: \"a b c\\n\"\n"
                        "    actual: \"a b c \\n\"\n"
                        "  command: \"( set -o pipefail; { ( ulimit -S -s 8192 && exec -c -- " +
                        (faulty / "trailing_space/print-args").string() +
                        " a b c ) </dev/null 2>&1 1>&3 3>&- | cat >&2; } 3>&1 | cat )\"\n"
                        "  ...\n"),
            std::string::npos)
      << report;
}

// Bytes of a test file: a string whose characters U+0000 to U+00FF are the bytes, or a list of
// pieces, each a string or [string, count].
std::string bytesOf(const nlohmann::json &text) {
  std::string out;
  auto add = [&](const std::string &utf8, size_t count) {
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); ++i) {
      auto c = static_cast<unsigned char>(utf8[i]);
      bytes += c < 0x80 ? char(c) : char(((c & 0x1f) << 6) | (utf8[++i] & 0x3f));
    }
    for (; count > 0; --count)
      out += bytes;
  };
  if (text.is_string())
    add(text, 1);
  else
    for (const auto &piece : text)
      piece.is_string() ? add(piece, 1) : add(piece[0], piece[1]);
  return out;
}

// Every malformed file of malformed.json is refused with one line that names the line and what
// is wrong, quickly, however large what it asks for.
TEST(Checker, RefusesMalformedCasesWithOneLine) {
  Scratch dir("malformed");
  std::ifstream table(MALFORMED_TABLE);
  for (const auto &row : nlohmann::json::parse(table)) {
    fs::path file = dir / row["file"].get<std::string>();
    write(file, bytesOf(row["text"]));
    process::Finished result = check({"--cases", file});
    expectOneLine(result, row["says"]);
    EXPECT_NE(result.err.find(file.string() + ":"), std::string::npos) << result.err;
  }
}

TEST(Checker, RefusesBadUseWithOneLine) {
  Scratch dir("bad-use");
  fs::create_directories(dir / "empty");
  // A runner that cannot start what it is given, as a shell says it.
  write(dir / "exit-127", "#!/bin/sh\nexit 127\n", true);
  // Programs the kernel cannot start: executable files that are no program at all.
  fs::create_directories(dir / "not-started");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(dir / "not-started" / program, "neither ELF nor script\n", true);
  mkfifo((dir / "fifo").c_str(), 0600);
  fs::create_directory_symlink(dir / "loop", dir / "loop");
  auto in = [&](const char *name) { return (dir / name).string(); };
  const std::pair<Args, std::string> uses[] = {
      {{"--frobnicate"}, "--frobnicate"},
      {{"--jobs", "0"}, "--jobs"},
      {{"--format", "xml"}, "xml"},
      {{"--programs", "/nonexistent"}, "no folder /nonexistent"},
      {{"--programs", in("empty")}, "no program " + in("empty") + "/print-args"},
      {{"--runner", "no-such-runner -x"},
       "no-such-runner is not found on the PATH or cannot be run"},
      {{"--runner", "/nonexistent/qemu-i386 -L /usr/i686-linux-gnu"},
       "/nonexistent/qemu-i386 is not found on the PATH or cannot be run: install it (Debian, "
       "Ubuntu: apt-get install qemu-user)"},
      {{"--runner", "exit-zero", "--", "exit-zero"}, "either as --runner or after --"},
      {{"--cases", "/nonexistent.jsonl"}, "/nonexistent.jsonl: cannot be read"},
      {{"--cases", dir.string()}, "is a folder, not a cases file"},
      {{"--cases", "/dev/zero"}, "/dev/zero:1: the line is longer than 16 MiB"},
      {{"--cases", "/proc/self/mem"}, "/proc/self/mem: cannot be read: Input/output error"},
      {{"--cases", in("fifo"), "--timeout", "1"}, "fifo: cannot be read: nothing came within 1 s"},
      {{"--runner", in("exit-127")}, "through " + in("exit-127") + ": it ended with exit 127"},
      {{"--"}, "-- is followed by no runner"},
      {{"--runner", " "}, "--runner \" \" holds no command"},
      {{"--timeout", "0x3"}, "0x3 is not a whole number"},
      {{"--timeout", "+2"}, "+2 is not a whole number"},
      {{"--jobs", "4.0"}, "4.0 is not a whole number"},
      {{"--seed", "1s"}, "1s is not a whole number"},
      {{"--cases", in("fifo"), "--timeout", "01"}, "nothing came within 1 s"}, // not octal
      {{"--programs", in("loop")}, "(Too many levels of symbolic links)"},
  };
  for (const auto &[args, says] : uses)
    expectOneLine(check(args), says);

  // A case's limit above the checker's own hard limit, which the checker cannot give it: its
  // failure to run the case, not the program's, said before the run.
  const struct {
    std::string limit, hard, says;
  } limits[] = {
      {R"("nofile": 1000)", "ulimit -n 512",
       "cannot run case 1 (a): its limits.nofile, 1000, is above the checker's own hard limit, "
       "512: raise that (ulimit -H)"},
      {R"("stack": "unlimited")", "ulimit -s 65536",
       "cannot run case 1 (a): its limits.stack, unlimited, is above the checker's own hard "
       "limit, 67108864"},
  };
  for (const auto &[limit, hard, says] : limits) {
    write(dir / "limited.jsonl",
          R"({"name": "a", "program": "exit-zero", "args": [], "limits": {)" + limit +
              R"(}, "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
              R"("expect": {"stdout": "", "stderr": "", "exit": 0}})"
              "\n");
    expectOneLine(process::run({"bash", "-c", hard + " && exec \"$0\" \"$@\"", CHECKER, "--cases",
                                in("limited.jsonl"), "--programs", faulty / "none", "--runner", ""},
                               {}, {std::chrono::seconds(60)}),
                  says);
  }
  // Not started, as the kernel says it or, under a user-mode emulator, as status 127 says it.
  process::Finished direct = check({"--programs", in("not-started")});
  expectOneLine(direct, "cannot start " + in("not-started") + "/exit-zero directly: ");
  EXPECT_NE(direct.err.find(": give a runner"), std::string::npos) << direct.err;

  // With no runner, programs the kernel refuses are read for their processor, which must be one
  // the checker knows: files that are no program, and ELF headers that lie about their size.
  std::string lying = "\x7f"
                      "ELF\x02\x01\x01";
  lying += std::string(57, '\xff');
  fs::create_directories(dir / "lying");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(dir / "lying" / program, lying, true);
  for (const char *folder : {"not-started", "lying"})
    expectOneLine(process::run({CHECKER, "--programs", in(folder)}),
                  "and it is no program of a processor this checker knows: give a runner");
}

// A signal's either standard name is the same signal: a case that expects SIGPOLL or SIGIO passes
// for a program ended by signal 29.
TEST(Checker, TakesEitherNameOfASignal) {
  Scratch dir("signal-alias");
  write(dir / "runner", "#!/bin/sh\n[ $# -eq 1 ] && exec \"$@\"\nkill -s IO $$\n", true);
  for (const char *name : {"SIGPOLL", "SIGIO"}) {
    write(dir / "cases.jsonl",
          R"({"name": "poll", "program": "print-args", "args": ["a"], "stdin": "/dev/null", )"
          R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "", "stderr": "", )"
          R"("signal": ")" +
              std::string(name) + "\"}}\n");
    process::Finished result =
        check({"--runner", (dir / "runner").string(), "--cases", dir / "cases.jsonl"});
    EXPECT_EQ(process::ending(result), "exit 0") << name << "\n" << result.out << result.err;
  }
}

// Where the report goes nowhere, or the checker cannot have what it needs, it says so with
// status 2 rather than ending as if all were well.
TEST(Checker, SaysWhenTheReportCannotBeWhole) {
  // More cases than threads can be had under the memory limit below.
  Scratch report("report");
  fs::path many = report / "many.jsonl";
  std::string lines;
  for (int i = 0; i < 1100; ++i)
    lines += R"({"name": ")" + std::to_string(i) +
             R"(", "program": "exit-zero", "args": [], "stdin": "/dev/null", "stdout": "pipe", )"
             R"("stderr": "pipe", "expect": {"stdout": "", "stderr": "", "exit": 0}})"
             "\n";
  write(many, lines);
  const struct {
    std::string name, limit;
    Args args;
    process::Streams streams;
    std::string says;
  } setups[] = {
      {"report on /dev/full",
       "",
       {},
       {Stream::DevNull, Stream::DevFull, Stream::Pipe},
       "cannot write the report to standard output: No space left on device"},
      {"report closed",
       "",
       {},
       {Stream::Closed, Stream::Closed, Stream::Pipe},
       "cannot write the report: standard output is closed"},
      {"report a broken pipe",
       "",
       {},
       {Stream::DevNull, Stream::BrokenPipe, Stream::Pipe},
       "cannot write the report to standard output: Broken pipe"},
      {"too few descriptors", "ulimit -n 6", {}, {}, "Too many open files"},
      {"help on /dev/full",
       "",
       {"--help"},
       {Stream::DevNull, Stream::DevFull, Stream::Pipe},
       "cannot write the help to standard output"},
      // SIGXFSZ would end it, with nothing said. (The copies that exec-only cases are started
      // from are the checker's files too: under this limit, those cases could not run.)
      {"report past the file-size limit",
       "ulimit -f 1",
       {"--format", "junit", "--filter-out", "^started-as/exec-only/"},
       {Stream::DevNull, Stream::File, Stream::Pipe},
       "the report is not whole: cannot write the report to standard output: File too large"},
#ifndef SANITIZED // the sanitizers reserve more address space than the limit allows
      {"too little memory for the threads",
       "ulimit -v 1000000",
       {"--jobs", "1024", "--cases", many},
       {},
       "cannot start thread"},
#endif
  };
  // Whether a limit on address space binds here: a user-mode emulator, for one, keeps it from the
  // processes it runs.
  bool spaceLimited =
      process::ending(process::run(
          {"/bin/sh", "-c", "ulimit -v 100000 && exec python3 -c 'bytearray(200000000)'"},
          {process::Stream::DevNull, process::Stream::DevNull, process::Stream::DevNull})) !=
      "exit 0";
  for (const auto &setup : setups) {
    if (setup.limit.starts_with("ulimit -v") && !spaceLimited) {
      std::cout << "not checked here, where a limit on address space does not bind: " << setup.name
                << "\n";
      continue;
    }
    Args args = {CHECKER, "--programs", faulty / "none", "--runner="};
    if (std::find(setup.args.begin(), setup.args.end(), "--cases") == setup.args.end())
      args.insert(args.end(), {"--cases", CASES_FILE});
    args.insert(args.end(), setup.args.begin(), setup.args.end());
    if (!setup.limit.empty())
      args.insert(args.begin(), {"/bin/sh", "-c", setup.limit + " && exec \"$0\" \"$@\""});
    process::Finished result = process::run(args, setup.streams, {std::chrono::seconds(60)});
    EXPECT_EQ(process::ending(result), "exit 2") << setup.name << "\n" << result.err;
    EXPECT_NE(result.err.find(setup.says), std::string::npos) << setup.name << "\n" << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  // Without standard input, the cases still run as they should.
  process::Finished noInput =
      process::run({CHECKER, "--programs", faulty / "none", "--runner=", "--cases", CASES_FILE},
                   {Stream::Closed, Stream::Pipe, Stream::Pipe}, {std::chrono::seconds(60)});
  EXPECT_EQ(process::ending(noInput), "exit 0") << noInput.out.substr(0, 2000);
}

// Whatever bytes the folder, the runner's words, the case names and the programs' output hold,
// TAP stays one line a test and JUnit well-formed XML, as real parsers of each read them.
TEST(Checker, KeepsReportsWellFormedForAnyBytes) {
  Scratch top("escapes");
  fs::path dir = top / "programs\nnot ok 9 - injected\n\x01\xff # &<";
  fs::create_directories(dir);
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    fs::create_symlink(faulty / "none" / program, dir / program);
  fs::path cases = dir.parent_path() / "cases.jsonl";
  write(cases,
        R"({"name": "a \\ b # c", "program": "exit-zero", "args": [], "stdin": "/dev/null", )"
        R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "", "stderr": "", "exit": 0}})"
        "\n"
        R"({"name": "wrong <&>", "program": "print-args", "args": ["\u0001\u00ff<&>\n"], )"
        R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
        R"("expect": {"stdout": "x\n", "stderr": "", "exit": 0}})"
        "\n");
  Args args = {"--programs", dir, "--cases", cases, "--", "env", "X=\x02\xff\n#"};
  process::Finished tap = check(args);
  args.insert(args.begin(), {"--format", "junit"});
  process::Finished junit = check(args);
  EXPECT_EQ(process::ending(tap), "exit 1") << tap.err;
  EXPECT_EQ(process::ending(junit), "exit 1") << junit.err;
  write(dir.parent_path() / "report.tap", tap.out);
  write(dir.parent_path() / "report.xml", junit.out);
  // prove's parser knows TAP up to version 13, whose grammar holds all that the report uses.
  process::Finished parsedTap = process::run({"perl", "-MTAP::Parser", "-e", R"(
        local $/; open my $in, '<', $ARGV[0] or die; my $tap = <$in>;
        $tap =~ s/^TAP version 14/TAP version 13/;
        my $parser = TAP::Parser->new({tap => $tap});
        while (my $result = $parser->next) {
          print 'test: ', $result->description, "\n" if $result->is_test;
        }
        printf "plan %s, run %d, failed %d, errors: %s\n", $parser->plan, $parser->tests_run,
          scalar($parser->failed), join('; ', $parser->parse_errors);
      )",
                                              dir.parent_path() / "report.tap"});
  EXPECT_EQ(parsedTap.out, "test: - a \\\\ b \\# c\ntest: - wrong <&>\nplan 1..2, run 2, failed 1, "
                           "errors: \n")
      << parsedTap.err << tap.out;
  process::Finished parsedXml = process::run({"python3", "-c", R"(
import sys, xml.dom.minidom
document = xml.dom.minidom.parse(sys.argv[1])
for case in document.getElementsByTagName("testcase"):
    print("test:", case.getAttribute("name"), len(case.getElementsByTagName("failure")))
print(document.getElementsByTagName("property")[0].getAttribute("value"))
)",
                                              dir.parent_path() / "report.xml"});
  EXPECT_EQ(parsedXml.out.substr(0, parsedXml.out.find('\n', 30) + 1),
            "test: a \\ b # c 0\ntest: wrong <&> 1\n")
      << parsedXml.err << junit.out;
  EXPECT_NE(parsedXml.out.find("programs\\nnot ok 9 - injected\\n\\x01\\xff # &<\""),
            std::string::npos)
      << parsedXml.out;
}

} // namespace
