// The checker against programs with known faults: it must fail each, naming the cases that show
// it, and pass the same programs built right. Bad use gets exit status 2 and one line that says
// what is wrong, and no report.
#include "process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Runs the checker on the programs of one fault, started directly, with the cases of this build.
process::Outcome check(Args args, const std::string &fault = "none") {
  for (const char *option : {"--programs", "--runner"})
    if (std::find(args.begin(), args.end(), option) == args.end())
      args.insert(args.end(), {option, option[2] == 'p' ? FAULTY_DIR "/" + fault : ""});
  args.insert(args.begin(), CHECKER);
  return process::run(args);
}

std::set<std::string> failedCases(const std::string &tap) {
  std::set<std::string> names;
  std::istringstream lines(tap);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("not ok "))
      names.insert(line.substr(line.find(" - ") + 3));
  return names;
}

struct Faulty {
  std::string fault, program; // every case that fails is one of this program's
  std::vector<std::string> mustFail;
};

void PrintTo(const Faulty &f, std::ostream *os) { *os << f.fault; }

const Faulty faults[] = {
    {"none", "", {}},
    {"trailing_space",
     "print-args/",
     {"print-args/one", "print-args/three", "print-args/every-byte",
      "print-args/12-arguments-of-128-KiB"}},
    {"format_argument", "print-sentence/", {"print-sentence/percent"}},
    {"exit_one",
     "exit-zero/",
     {"exit-zero/no-arguments", "exit-zero/stdout-closed", "exit-zero/stdout-broken-pipe"}},
    {"byte_on_stderr", "print-args/", {"print-args/no-arguments", "print-args/stdout-closed"}},
    {"missing_newline", "print-args/", {"print-args/no-arguments", "print-args/each-byte"}},
    {"lost_on_pipe",
     "print-",
     {"print-args/three", "print-sentence/no-arguments", "print-args/stdout-broken-pipe"}},
};

class Faults : public testing::TestWithParam<Faulty> {};

TEST_P(Faults, FailTheCasesThatShowThem) {
  const Faulty &f = GetParam();
  process::Outcome tap = check({}, f.fault), junit = check({"--format", "junit"}, f.fault);
  EXPECT_EQ(process::ending(tap), f.mustFail.empty() ? "exit 0" : "exit 1") << tap.err;
  std::set<std::string> failed = failedCases(tap.out);
  for (const auto &name : f.mustFail)
    EXPECT_TRUE(failed.contains(name)) << name << " passed";
  for (const auto &name : failed)
    EXPECT_TRUE(name.starts_with(f.program)) << name << " failed";
  EXPECT_EQ(process::ending(junit), process::ending(tap));
  size_t failures = 0;
  for (size_t at = 0; (at = junit.out.find("<failure ", at)) != std::string::npos; ++at)
    ++failures;
  EXPECT_EQ(failures, failed.size());
}

INSTANTIATE_TEST_SUITE_P(Checker, Faults, testing::ValuesIn(faults),
                         [](const auto &info) { return info.param.fault; });

TEST(Checker, SaysWhereTheFirstDifferenceIs) {
  process::Outcome tap = check({}, "trailing_space");
  EXPECT_NE(tap.out.find("not ok 3 - print-args/three\n"
                         "  ---\n"
                         "  message: \"stdout differs from byte 5\"\n"
                         "  stdout:\n"
                         "    first_difference: 5\n"
                         "    expected_length: 6\n"
                         "    actual_length: 7\n"
                         "    expected: \"a b c\\n\"\n"
                         "    actual: \"a b c \\n\"\n"
                         "  ...\n"),
            std::string::npos)
      << tap.out;
}

TEST(Checker, RefusesBadUseWithOneLine) {
  const std::string valid = R"({"name": "a", "program": "exit-zero", "args": [], )"
                            R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
                            R"("expect": {"stdout": "", "stderr": "", "exit": 0}})";
  auto with = [&](const std::string &from, const std::string &to) {
    std::string line = valid;
    return line.replace(line.find(from), from.size(), to);
  };
  fs::path dir = fs::path(testing::TempDir()) / "checker-bad-use";
  fs::create_directories(dir / "empty");
  const std::pair<std::string, std::string> files[] = {
      {"not-json", valid + "\n{\"name\": \n"},
      {"unknown-program", with("exit-zero", "ls")},
      {"bad-stream", with("\"stdout\": \"pipe\"", "\"stdout\": \"tty\"")},
      {"nul", with("[]", R"(["\u0000"])")},
      {"wide", with("[]", R"(["\u0100"])")},
      {"no-expected-stdout", with(R"("stdout": "", )", "")},
      {"twice", valid + "\n" + valid},
      {"no-cases", "\n"},
  };
  for (const auto &[name, text] : files)
    std::ofstream(dir / name) << text << "\n";
  // A runner that cannot start what it is given, as a shell says it.
  std::ofstream(dir / "exit-127") << "#!/bin/sh\nexit 127\n";
  fs::permissions(dir / "exit-127", fs::perms::owner_all);
  // Programs the kernel cannot start: executable files that are no program at all.
  fs::create_directories(dir / "not-started");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
    std::ofstream(dir / "not-started" / program) << "neither ELF nor script\n";
    fs::permissions(dir / "not-started" / program, fs::perms::owner_all);
  }
  auto in = [&](const char *name) { return (dir / name).string(); };
  const std::pair<Args, std::string> uses[] = {
      {{"--frobnicate"}, "--frobnicate"},
      {{"--jobs", "0"}, "--jobs"},
      {{"--format", "xml"}, "xml"},
      {{"--programs", "/nonexistent"}, "no folder /nonexistent"},
      {{"--programs", in("empty")}, "no program " + in("empty") + "/print-args"},
      {{"--runner", "no-such-runner -x"}, "no-such-runner is not found"},
      {{"--cases", "/nonexistent.jsonl"}, "/nonexistent.jsonl: cannot be read"},
      {{"--cases", in("not-json")}, in("not-json") + ":2: "},
      {{"--cases", in("unknown-program")}, ":1: \"program\" is \"ls\""},
      {{"--cases", in("bad-stream")}, ":1: \"stdout\" is \"tty\""},
      {{"--cases", in("nul")}, ":1: a string holds U+0000"},
      {{"--cases", in("wide")}, ":1: a string holds a character above U+00FF"},
      {{"--cases", in("no-expected-stdout")}, ":1: \"expect\" has \"stdout\" exactly when"},
      {{"--cases", in("twice")}, ":2: a case named \"a\" is already there"},
      {{"--cases", in("no-cases")}, "holds no cases"},
      {{"--cases", dir.string()}, "is a folder, not a cases file"},
      {{"--runner", in("exit-127")}, "through " + in("exit-127") + ": it ended with status 127"},
      {{"--programs", in("not-started")},
       "cannot start " + in("not-started") + "/exit-zero directly"},
  };
  for (const auto &[args, says] : uses) {
    process::Outcome result = check(args);
    EXPECT_EQ(process::ending(result), "exit 2") << says;
    EXPECT_EQ(result.out, "") << says;
    EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

} // namespace
