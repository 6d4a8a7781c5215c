// The checker as an emulator's CI lives with it: which cases run, known failures kept outside the
// cases and written back, JSON results, several processors in one run, a command that reproduces
// a failure, and reports that the common consumers read.
#include "checker_support.hpp"
#include "command.hpp"

#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <functional>
#include <regex>

namespace {

using namespace checker_test;
using nlohmann::json;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    all.push_back(line);
  return all;
}

// The names of the cases file, in its order.
const std::vector<std::string> &caseNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    std::ifstream file(CASES_FILE);
    for (std::string line; std::getline(file, line);)
      if (auto c = json::parse(line); c.is_object())
        all.push_back(c["name"]);
    return all;
  }();
  return names;
}

std::vector<std::string> matching(const std::string &keep, const std::string &drop = "$^") {
  std::vector<std::string> kept;
  for (const auto &name : caseNames())
    if (std::regex_search(name, std::regex(keep)) && !std::regex_search(name, std::regex(drop)))
      kept.push_back(name);
  return kept;
}

// At a terminal, with no --format, the report is for a person: ten failures fit on one screen,
// three lines each, passes only counted, the failed named at the end; colour only where the
// terminal says what it is, and never against NO_COLOR.
TEST(Harness, WritesAReportForAPersonAtATerminal) {
  const char *ten = "^print-args/(one|three|empty-between|one-empty|two-empty|option-like|"
                    "backslashes|percent|whitespace|high-bytes)$|^exit-zero/";
  const struct {
    std::vector<std::string> environment;
    bool coloured;
  } terminals[] = {
      {{}, false},
      {{"TERM=dumb"}, false},
      {{"TERM=xterm-256color"}, true},
      {{"TERM=xterm-256color", "NO_COLOR=1"}, false},
  };
  for (const auto &[environment, coloured] : terminals) {
    process::Start start;
    start.argv = {CHECKER,    "--cases", CASES_FILE, "--programs", faulty / "trailing_space",
                  "--runner", "",        "--filter", ten};
    start.environment = environment;
    start.streams = {Stream::DevNull, Stream::Pty, Stream::Pipe};
    process::Finished run = process::run(start, {std::chrono::seconds(60)});
    std::string out = std::regex_replace(run.out, std::regex("\r"), "");
    std::string plain = std::regex_replace(out, std::regex("\x1b\\[[0-9;]*m"), "");
    std::string said = ::testing::PrintToString(environment);
    EXPECT_EQ(process::ending(run), "exit 1") << said << run.err;
    EXPECT_EQ(out != plain, coloured) << said << out;
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 3 * 10 + 3) << said << out;
    EXPECT_EQ(plain.find("ok "), std::string::npos) << said << out;
    for (const std::string &name : matching("^print-args/")) {
      if (!std::regex_search(name, std::regex(ten)))
        continue;
      EXPECT_EQ(plain.find("FAIL " + name + ": stdout differs"),
                plain.rfind("FAIL " + name + ": stdout differs"))
          << said << name;
      EXPECT_NE(plain.find("FAIL " + name), std::string::npos) << said << name;
    }
    std::smatch named;
    ASSERT_TRUE(std::regex_search(plain, named, std::regex("\nFailed \\(10\\): ([^\n]*)\n")))
        << said << out;
    EXPECT_EQ(std::count(named[1].first, named[1].second, ','), 9) << named[1];
    EXPECT_TRUE(plain.ends_with(" passed, 10 failed in " + plain.substr(plain.rfind(" in ") + 4)))
        << plain;
    EXPECT_NE(run.err.find("10 of "), std::string::npos) << run.err;
  }
}

// Each option's effect on what is run and written.
TEST(Harness, SelectsListsAndWritesAsAsked) {
  process::Finished version = check({"--version"});
  EXPECT_EQ(process::ending(version), "exit 0");
  EXPECT_EQ(version.out, PROJECT_VERSION "\n");

  const struct {
    Args args;
    std::vector<std::string> names; // --list's lines
  } lists[] = {
      {{"--list"}, caseNames()},
      {{"--list", "--filter", "^print-args/"}, matching("^print-args/")},
      {{"--list", "--filter", "args", "--filter-out", "every|128"}, matching("args", "every|128")},
      // Patterns that a backtracking matcher takes exponential time or deep recursion over,
      // each with a plain one that matches the same names.
      {{"--list", "--filter", "(.+)+X|^exit-zero/"}, matching(".X|^exit-zero/")},
      {{"--list", "--filter", "(a*)*b"}, matching("b")},
      {{"--list", "--filter", "(a|aa)*c"}, matching("c")},
      {{"--list", "--filter", std::string(1000, '(') + "o" + std::string(1000, ')')},
       matching("o")},
  };
  for (const auto &list : lists) {
    process::Finished run = check(list.args);
    EXPECT_EQ(process::ending(run), "exit 0") << run.err;
    EXPECT_EQ(lines(run.out), list.names) << list.args.back().substr(0, 80);
  }
  // On a small stack, which recursion over the name would overrun.
  process::Finished small =
      process::run({"bash", "-c", "ulimit -s 256 && exec \"$0\" \"$@\"", CHECKER, "--cases",
                    CASES_FILE, "--programs", faulty / "none", "--list", "--filter", "(.)*$"});
  EXPECT_EQ(process::ending(small), "exit 0") << small.err;
  EXPECT_EQ(lines(small.out), caseNames());

  process::Finished exitZero = check({"--filter", "^exit-zero/", "--tap-version", "13"});
  EXPECT_EQ(process::ending(exitZero), "exit 0") << exitZero.err;
  EXPECT_TRUE(exitZero.out.starts_with("TAP version 13\n")) << exitZero.out.substr(0, 200);
  EXPECT_NE(exitZero.out.find("\n1.." + std::to_string(matching("^exit-zero/").size()) + "\n"),
            std::string::npos);

  for (const auto &[args, says] : std::vector<std::pair<Args, std::string>>{
           {{"--filter", "("}, "--filter \"(\" is no regular expression"},
           {{"--filter-out", "\\pL{1000}"},
            "is no regular expression (RE2's syntax): pattern too large"},
           {{"--filter", std::string(60000, 'a')}, "is longer than 4096 bytes"},
           {{"--filter", std::string(20000, '(') + std::string(20000, ')')},
            "is longer than 4096 bytes"},
           {{"--list", "--filter-out", "."}, "no case is left to run: the filters leave none of"},
           {{"--seed", "18446744073709551616"}, "is past the largest whole number taken"},
           {{"--filter", "a", "--filter", "b"}, "--filter"},
           {{"--filter", "^no such case$"}, "no case is left to run"},
           {{"--tap-version", "12"}, "--tap-version"},
           {{"--programs", faulty / "none", "--programs", faulty / "exit_one"},
            "hold programs of one processor"},
           {{"--all", "--programs", faulty / "none"}, "excludes"},
       })
    expectOneLine(check(args), says);
  // Every processor's folder beside the checker: in a build, one for each processor built.
  process::Finished all = process::run(
      {CHECKER, "--all", "--list", "--filter", "^([a-z0-9]+/)?exit-zero/no-arguments$"});
  EXPECT_EQ(process::ending(all), "exit 0") << all.err;
  EXPECT_FALSE(all.out.empty());
}

// The manual page names every option --help gives, and every value of those that take a set.
TEST(Harness, ManualPageNamesEveryOptionOfTheHelp) {
  process::Finished help = check({"--help"});
  ASSERT_EQ(process::ending(help), "exit 0") << help.err;
  std::string manual = std::regex_replace(slurp(MAN_PAGE), std::regex(R"(\\-)"), "-");
  std::set<std::string> named;
  std::smatch found;
  for (std::string rest = help.out;
       std::regex_search(rest, found, std::regex(R"(--[a-z][a-z0-9-]*|\{([a-z0-9,]+)\})"));
       rest = found.suffix()) {
    if (found[1].matched) {
      std::istringstream values(found[1].str());
      for (std::string value; std::getline(values, value, ',');)
        named.insert(value);
    } else {
      named.insert(found[0]);
    }
  }
  EXPECT_GT(named.size(), 15u) << help.out;
  for (const std::string &name : named)
    EXPECT_TRUE(std::regex_search(manual, std::regex("(^|[^a-z0-9-])" + name + "([^a-z0-9-]|$)")))
        << name << " is in --help but not in " << MAN_PAGE;
}

// Write the failures of a faulty program, run with them as known failures, then with the
// program mended: known failures pass the run, and what passes though listed fails it.
TEST(Harness, KeepsAListOfKnownFailuresTrue) {
  Scratch dir("known");
  fs::path list = dir / "known-failures";
  process::Finished first = check({"--write-failures", list}, "trailing_space");
  EXPECT_EQ(process::ending(first), "exit 1") << first.err;
  std::vector<std::string> written = lines(slurp(list));
  ASSERT_GE(written.size(), 2u);
  EXPECT_TRUE(written[0].starts_with("# ")) << written[0];
  std::set<std::string> failed = failedCases(first.out);
  EXPECT_EQ(std::set<std::string>(written.begin() + 1, written.end()), failed);

  process::Finished known = check({"--known-failures", list}, "trailing_space");
  EXPECT_EQ(process::ending(known), "exit 0") << known.err;
  EXPECT_NE(known.out.find("not ok 2 - print-args/one # TODO known failure\n"), std::string::npos)
      << known.out.substr(0, 600);
  EXPECT_NE(known.out.find("\n# 0 failed, " + std::to_string(failed.size()) +
                           " known failures, 0 unexpected passes\n"),
            std::string::npos);
  // What this machine cannot arrange (one process at most, in a chroot) is skipped, and counted
  // with the known failures in JUnit's skipped.
  auto skips = [](const std::string &tap) {
    size_t n = 0;
    for (size_t at = 0; (at = tap.find(" # SKIP ", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  size_t skipped = skips(known.out);
  process::Finished junit =
      check({"--known-failures", list, "--format", "junit"}, "trailing_space");
  EXPECT_EQ(process::ending(junit), "exit 0") << junit.err;
  EXPECT_NE(junit.out.find("skipped=\"" + std::to_string(failed.size() + skipped) + "\""),
            std::string::npos);
  // A filter that leaves some of the listed cases out: the list still holds.
  process::Finished filtered =
      check({"--known-failures", list, "--filter", "^print-args/one$"}, "trailing_space");
  EXPECT_EQ(process::ending(filtered), "exit 0") << filtered.err;

  process::Finished mended = check({"--known-failures", list});
  EXPECT_EQ(process::ending(mended), "exit 1") << mended.err;
  EXPECT_NE(mended.out.find(
                "ok 2 - print-args/one # TODO unexpected pass: it is listed as a known failure\n"),
            std::string::npos);
  // Counted as passed, with what to do about the list; and said on standard error.
  size_t cases = lines(slurp(CASES_FILE)).size();
  EXPECT_NE(mended.out.find("\n# 0 failed, 0 known failures, " + std::to_string(failed.size()) +
                            " unexpected passes: listed as known failures, they pass now; take "
                            "them off the list (--write-failures FILE writes what still fails)\n"),
            std::string::npos);
  EXPECT_NE(mended.out.find("\n# " + std::to_string(cases - skips(mended.out)) + " of " +
                            std::to_string(cases) + " passed in "),
            std::string::npos)
      << mended.out.substr(mended.out.rfind("# slowest"));
  EXPECT_EQ(mended.err, "support-programs-check: " + std::to_string(failed.size()) +
                            " listed as known failures now pass (take them off the list): the "
                            "report on standard output says how\n");

  // As some editors save it: a byte-order mark first, and line ends of two bytes.
  write(list, "\xef\xbb\xbfprint-args/one\r\n");
  process::Finished marked =
      check({"--known-failures", list, "--filter", "^print-args/one$"}, "trailing_space");
  EXPECT_EQ(process::ending(marked), "exit 0") << marked.err;

  write(list, "# a comment\n\n  print-args/one  \nno/such/case\n");
  expectOneLine(check({"--known-failures", list}), "\"no/such/case\" names no case");
  expectOneLine(check({"--known-failures", dir}), "is not a regular file");
  // A line of any length is quoted in part.
  for (const std::string &line : {std::string(1 << 20, 'x'), std::string(1 << 20, '\x80')}) {
    write(list, line + "\n");
    process::Finished refused = check({"--known-failures", list});
    expectOneLine(refused, line[0] == 'x' ? "\"xxxx" : "\"\\x80\\x80");
    EXPECT_LT(refused.err.size(), 600u) << refused.err.substr(0, 600);
  }
}

// --write-failures writes over a regular file only, or makes a new one, through a file of a new
// name that nothing else can be at; whatever else stands at the path is refused before the run,
// and left as it was.
TEST(Harness, WritesTheListOfFailuresOverNothingButARegularFile) {
  Scratch dir("write-failures");
  const fs::path list = dir / "list", part = dir / "list.part", mine = dir / "mine";
  fs::copy_file(CASES_FILE, dir / "cases.jsonl");
  const std::string failing = "^print-args/(one|three)$";
  auto is = [](const fs::path &file, mode_t type, bool follow = false) {
    struct stat status;
    return (follow ? stat(file.c_str(), &status) : lstat(file.c_str(), &status)) == 0 &&
           (status.st_mode & S_IFMT) == type;
  };
  const struct {
    std::string name;
    std::function<void()> plant;
    Args args;
    std::string says; // empty: the list is written, the names of the two that fail
    std::function<void()> after;
  } rows[] = {
      {"a FIFO",
       [&] { mkfifo(list.c_str(), 0600); },
       {},
       "is a FIFO",
       [&] { EXPECT_TRUE(is(list, S_IFIFO)); }},
      {"a link to a file",
       [&] { fs::create_symlink(mine, list); },
       {},
       "is a symbolic link",
       [&] {
         EXPECT_TRUE(is(list, S_IFLNK));
         EXPECT_EQ(slurp(mine), "mine\n");
       }},
      {"a link to a device",
       [&] { fs::create_symlink("/dev/null", list); },
       {},
       "is a symbolic link",
       [&] {
         EXPECT_TRUE(is(list, S_IFLNK));
         EXPECT_TRUE(is(list, S_IFCHR, true));
         EXPECT_TRUE(is("/dev/null", S_IFCHR));
       }},
      {"a folder",
       [&] { fs::create_directory(list); },
       {},
       "is a folder",
       [&] { EXPECT_TRUE(fs::is_empty(list)); }},
      {"in no folder",
       [] {},
       {"--write-failures", dir / "none" / "list"},
       "cannot be written",
       [] {}},
      {"the cases file",
       [] {},
       {"--cases", dir / "cases.jsonl", "--write-failures", dir / "cases.jsonl"},
       "is the cases file",
       [&] { EXPECT_EQ(slurp(dir / "cases.jsonl"), slurp(CASES_FILE)); }},
      {"the cases file by another name",
       [&] { fs::create_hard_link(dir / "cases.jsonl", list); },
       {"--cases", dir / "cases.jsonl"},
       "is the cases file",
       [&] { EXPECT_EQ(slurp(dir / "cases.jsonl"), slurp(CASES_FILE)); }},
      {"list.part, a link",
       [&] { fs::create_symlink(mine, part); },
       {},
       "",
       [&] {
         EXPECT_TRUE(is(part, S_IFLNK));
         EXPECT_EQ(slurp(mine), "mine\n");
       }},
      {"list.part, a FIFO",
       [&] { mkfifo(part.c_str(), 0600); },
       {},
       "",
       [&] { EXPECT_TRUE(is(part, S_IFIFO)); }},
      {"a report's file in a folder of a hostile name that is not there",
       [] {},
       {"--json", dir / "no\nfolder\x1b[2J" / "r.json"},
       "--json \"" + (dir / "no\\nfolder\\x1b[2J/r.json\": cannot be written").string(),
       [] {}},
      {"a regular file, which is also read as the known failures",
       [&] { write(list, "print-args/one\n"); },
       {"--known-failures", list},
       "",
       [] {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    for (const fs::path &file : {list, part})
      fs::remove_all(file);
    write(mine, "mine\n");
    row.plant();
    Args args = row.args;
    if (std::find(args.begin(), args.end(), "--write-failures") == args.end())
      args.insert(args.end(), {"--write-failures", list});
    args.insert(args.end(), {"--filter", failing});
    process::Finished run = check(args, "trailing_space");
    if (row.says.empty()) {
      EXPECT_EQ(process::ending(run), "exit 1") << run.err;
      std::vector<std::string> written = lines(slurp(list));
      ASSERT_EQ(written.size(), 3u);
      EXPECT_EQ(written[1], "print-args/one");
      EXPECT_EQ(written[2], "print-args/three");
      EXPECT_TRUE(is(list, S_IFREG));
    } else {
      expectOneLine(run, row.says); // before the run: no report
    }
    row.after();
    // Nothing is left beside it but what was planted.
    for (const auto &entry : fs::directory_iterator(dir))
      EXPECT_TRUE(entry.path() == list || entry.path() == part || entry.path() == mine ||
                  entry.path().filename() == "cases.jsonl")
          << entry.path();
  }

  // The cases file's path, in the comment line, stays on that line whatever it holds.
  fs::path odd = dir / "cases\nprint-args/one";
  fs::create_directory(odd.parent_path());
  write(odd, slurp(CASES_FILE));
  fs::remove_all(list);
  process::Finished run =
      check({"--cases", odd, "--write-failures", list, "--filter", "^print-args/three$"},
            "trailing_space");
  EXPECT_EQ(process::ending(run), "exit 1") << run.err;
  std::vector<std::string> written = lines(slurp(list));
  ASSERT_EQ(written.size(), 2u) << slurp(list);
  EXPECT_NE(written[0].find("cases\\nprint-args/one"), std::string::npos) << written[0];
  EXPECT_EQ(written[1], "print-args/three");
}

// JSON results: the run and every case; a failure's streams, endings and a command that, pasted
// into bash, writes the bytes the case saw.
TEST(Harness, WritesJsonWithACommandThatReproducesEachFailure) {
  process::Finished run =
      check({"--format", "json", "--filter", "^print-args/(three|every-byte)$"}, "trailing_space");
  EXPECT_EQ(process::ending(run), "exit 1") << run.err;
  json results = json::parse(run.out);
  EXPECT_EQ(results["version"], 2);
  EXPECT_EQ(results["summary"]["cases"], 2);
  EXPECT_EQ(results["summary"]["failed"], 2);
  ASSERT_EQ(results["cases"].size(), 2u);
  for (const json &c : results["cases"]) {
    SCOPED_TRACE(c.dump());
    EXPECT_EQ(c["outcome"], "failed");
    EXPECT_EQ(c["expected"], "exit 0");
    EXPECT_EQ(c["actual"], "exit 0");
    const json &out = c["streams"]["stdout"];
    std::string command = c["command"];
    process::Finished again = process::run({"bash", "-c", command});
    EXPECT_EQ(process::ending(again), "exit 0") << again.err;
    EXPECT_EQ(again.out.size(), out["actual_length"].get<size_t>());
    EXPECT_EQ(again.out.size(), out["expected_length"].get<size_t>() + 1); // the trailing space
    EXPECT_EQ(again.out.substr(again.out.size() - 2), " \n");
  }
  EXPECT_EQ(results["cases"][0]["name"], "print-args/three");
  EXPECT_EQ(results["cases"][0]["streams"]["stdout"]["first_difference"], 5);
  EXPECT_EQ(results["run"]["targets"][0]["started"], "directly");
}

// One run writes its report on standard output and any other format to a file, each whole once
// the run has ended; a file that is not apart from the others, or not a regular one, is refused
// before the run, in one line.
TEST(Harness, WritesReportsToFilesBesideStandardOutput) {
  Scratch dir("files");
  Args files = {"--tap",  dir / "r.tap",  "--junit", dir / "r.xml",
                "--json", dir / "r.json", "--text",  dir / "r.txt"};
  Args args = {"--filter", "^print-args/(one|three)$|^exit-zero/no-arguments$"};
  args.insert(args.end(), files.begin(), files.end());
  process::Finished run = check(args, "trailing_space");
  EXPECT_EQ(process::ending(run), "exit 1") << run.err;
  EXPECT_TRUE(run.out.starts_with("TAP version 14\n")) << run.out;
  std::string tap = slurp(dir / "r.tap");
  for (const char *line : {"not ok 1 - print-args/one\n", "not ok 2 - print-args/three\n",
                           "ok 3 - exit-zero/no-arguments\n", "# 1 of 3 passed in "}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
    EXPECT_NE(tap.find(line), std::string::npos) << line << tap;
  }
  EXPECT_EQ(json::parse(slurp(dir / "r.json"))["summary"]["failed"], 2);
  EXPECT_NE(slurp(dir / "r.xml")
                .find("<testsuites name=\"support-programs\" tests=\"3\" "
                      "failures=\"2\""),
            std::string::npos);
  std::string text = slurp(dir / "r.txt");
  EXPECT_NE(text.find("\nFailed (2): print-args/one, print-args/three\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;

  fs::create_symlink(dir / "r.tap", dir / "link");
  const struct {
    Args args;
    std::string says;
  } refused[] = {
      {{"--json", dir / "new", "--junit", dir / "new"}, "--json and --junit name one file"},
      {{"--tap", dir / "new", "--write-failures", dir / "." / "new"},
       "--write-failures and --tap name one file"},
      {{"--json", CASES_FILE}, "--json " + std::string(CASES_FILE) + " is the cases file"},
      {{"--junit", dir / "link"}, "is a symbolic link"},
      {{"--known-failures", dir / "r.tap", "--tap", dir / "r.tap"},
       "--tap names the --known-failures file"},
  };
  for (const auto &[more, says] : refused) {
    fs::remove(dir / "new");
    expectOneLine(check(more), says);
    EXPECT_FALSE(fs::exists(dir / "new")) << says;
  }
}

// Reports of every outcome, read by their JSON Schema and by the reader the docs give, which a
// consumer would copy: each holds every field, and its counts add up.
TEST(Harness, WritesJsonThatItsSchemaAndItsDocumentedReaderTake) {
  if (process::ending(process::run({"python3", "-c", "import jsonschema"})) != "exit 0")
    GTEST_SKIP() << "no python3 with jsonschema here (Debian, Ubuntu: apt-get install "
                    "python3-jsonschema)";
  std::string doc = slurp(CHECKER_DOC);
  size_t at = doc.find("```python\n", doc.find("\n## JSON results\n"));
  ASSERT_NE(at, std::string::npos);
  at += 10;
  std::string reader = doc.substr(at, doc.find("```\n", at) - at);
  Scratch dir("json");
  write(dir / "known", "print-args/one\nexit-zero/no-arguments\n");
  const struct {
    const char *name, *fault, *ending;
    Args args;
    std::vector<std::string> says;
  } reports[] = {
      {"passing", "none", "exit 0", {"--filter", "^exit-zero/"}, {" passed, seed None\n"}},
      {"every outcome",
       "trailing_space",
       "exit 1",
       {"--known-failures", dir / "known", "--filter",
        "^print-args/(one|three)$|^exit-zero/no-arguments$|^started-as/exec-only/print-args$",
        "--runner", "env", "--repeat", "2", "--shuffle", "--seed", "18446744073709551615"},
       {"failed: print-args/three: failed 2 of 2 runs; first: stdout differs from byte 5\n"
        "  stdout from byte 0: expected \"a b c\\n\", actual \"a b c \\n\"\n  ( set -o pipefail;",
        "known failure: print-args/one: ", "unexpected pass: exit-zero/no-arguments: ",
        "skipped: started-as/exec-only/print-args: a runner is given the program's path",
        "1 of 4 passed, seed 18446744073709551615\n"}},
  };
  for (const auto &[name, fault, ending, args, says] : reports) {
    SCOPED_TRACE(name);
    Args all = args;
    all.insert(all.begin(), {"--format", "json"});
    process::Finished run = check(all, fault);
    EXPECT_EQ(process::ending(run), ending) << run.err;
    fs::path report = dir / "report.json";
    write(report, run.out);
    process::Finished valid = process::run(
        {"python3", "-c",
         "import json, sys, jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))",
         report, RESULTS_SCHEMA});
    EXPECT_EQ(process::ending(valid), "exit 0") << valid.err;
    json results = json::parse(run.out);
    const json &n = results["summary"];
    EXPECT_EQ(n["passed"].get<int>() + n["failed"].get<int>() + n["known_failures"].get<int>() +
                  n["skipped"].get<int>(),
              n["cases"].get<int>());
    process::Finished read = process::run({"python3", "-c", reader, report});
    EXPECT_EQ(process::ending(read), ending) << read.err;
    for (const std::string &said : says)
      EXPECT_NE(read.out.find(said), std::string::npos) << said << "\n" << read.out;
  }
}

// Two folders of programs of two processors: each case once for each, named with its processor,
// and a summary line for each.
TEST(Harness, ChecksSeveralProcessorsInOneRun) {
  // No runner given: each folder is started as the checker decides for it.
  Args both = {CHECKER,
               "--cases",
               CASES_FILE,
               "--programs",
               SUPPORT_PROGRAMS_DIR,
               "--programs",
               faulty / "none",
               "--filter",
               "^print-args/(one|three)$"}; // a case's own name, which every processor's shares
  Args asJson = both;
  asJson.insert(asJson.end(), {"--format", "json"});
  process::Finished run = process::run(asJson);
  if (run.err.find("hold programs of one processor") != std::string::npos)
    GTEST_SKIP() << "this build's programs are of this host's processor: " << run.err;
  EXPECT_EQ(process::ending(run), "exit 0") << run.err;
  json results = json::parse(run.out);
  ASSERT_EQ(results["run"]["targets"].size(), 2u);
  std::string first = results["run"]["targets"][0]["processor"],
              second = results["run"]["targets"][1]["processor"];
  std::vector<std::string> names;
  for (const json &c : results["cases"])
    names.push_back(c["name"]);
  EXPECT_EQ(names,
            (std::vector<std::string>{first + "/print-args/one", first + "/print-args/three",
                                      second + "/print-args/one", second + "/print-args/three"}));
  process::Finished tap = process::run(both);
  EXPECT_NE(tap.out.find("\n# " + first + ": 2 of 2 passed\n# " + second + ": 2 of 2 passed\n"),
            std::string::npos)
      << tap.out;
  // A name with its processor in front takes that processor's case alone.
  Args one = both;
  one.back() = "^" + second + "/print-args/one$";
  one.push_back("--list");
  EXPECT_EQ(process::run(one).out, second + "/print-args/one\n");
}

} // namespace

namespace {

// The reports of a passing run, a failing one, and one of two processors with known failures:
// the JUnit ones valid by both common schemas, the TAP ones read by TAP::Parser with no error.
TEST(Harness, WritesReportsTheCommonConsumersRead) {
  if (process::ending(process::run({"xmllint", "--version"})) != "exit 0")
    GTEST_SKIP() << "no xmllint here (Debian, Ubuntu: apt-get install libxml2-utils)";
  Scratch dir("consumers");
  write(dir / "known", "# the fault's\nprint-args/one\nprint-args/three\n");
  const struct {
    std::string name;
    std::string fault;
    Args args;
  } runs[] = {
      {"passing", "none", {}},
      {"failing", "trailing_space", {}},
      {"known-failures", "trailing_space", {"--known-failures", dir / "known"}},
  };
  for (const auto &run : runs) {
    SCOPED_TRACE(run.name);
    Args junit = run.args, tap = run.args;
    junit.insert(junit.end(), {"--format", "junit"});
    tap.insert(tap.end(), {"--tap-version", "13"});
    fs::path xml = dir / (run.name + ".xml"), report = dir / (run.name + ".tap");
    write(xml, check(junit, run.fault).out);
    write(report, check(tap, run.fault).out);
    for (const char *schema : {"jenkins-junit-4.xsd", "xunit-junit-10.xsd"}) {
      process::Finished valid =
          process::run({"xmllint", "--noout", "--schema", fs::path(JUNIT_SCHEMAS) / schema, xml});
      EXPECT_EQ(process::ending(valid), "exit 0") << schema << ": " << valid.err.substr(0, 2000);
    }
    process::Finished parsed = process::run({"perl", "-MTAP::Parser", "-e", R"(
        my $parser = TAP::Parser->new({source => $ARGV[0]});
        while (my $result = $parser->next) {}
        printf "version %d, run %d, errors: %s\n", $parser->version, $parser->tests_run,
          join('; ', $parser->parse_errors);
      )",
                                             report});
    EXPECT_EQ(parsed.out, "version 13, run " + std::to_string(caseNames().size()) + ", errors: \n")
        << parsed.err;
  }
  // Two runs' reports merged into one: each suite keeps a name of its own under its run's, and
  // the whole stays valid; the times add up.
  std::string merged;
  for (const char *name : {"run-a", "run-b"}) {
    std::string one =
        check({"--format", "junit", "--suite-name", name, "--filter", "^print-args/"}, "none").out;
    std::smatch times;
    ASSERT_TRUE(std::regex_search(one, times,
                                  std::regex("<testsuites name=\"" + std::string(name) +
                                             "\" [^>]* time=\"([0-9.]+)\">\n  <testsuite name=\"" +
                                             name + "/[a-z0-9]+\" [^>]* time=\"([0-9.]+)\"")))
        << one.substr(0, 400);
    EXPECT_EQ(times[1], times[2]);
    size_t from = one.find("  <testsuite "), to = one.find("</testsuites>");
    merged += one.substr(from, to - from);
  }
  write(dir / "merged.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n" + merged + "</testsuites>\n");
  for (const char *schema : {"jenkins-junit-4.xsd", "xunit-junit-10.xsd"}) {
    process::Finished valid = process::run(
        {"xmllint", "--noout", "--schema", fs::path(JUNIT_SCHEMAS) / schema, dir / "merged.xml"});
    EXPECT_EQ(process::ending(valid), "exit 0") << schema << ": " << valid.err.substr(0, 2000);
  }
}

// Programs of no known processor are named by their folder, which reaches case names, TAP's and
// --list's lines: no folder's name can add a line of its own to them.
TEST(Harness, NamesNoFolderCanForgeALine) {
  Scratch dir("forged");
  const std::string forged = "x\nnot ok 77 - injected\n# 999 of 999 passed";
  for (const std::string &folder : {std::string("plain"), forged}) {
    fs::create_directory(dir / folder);
    for (const char *program : {"print-args", "print-sentence", "exit-zero"})
      write(dir / folder / program, "#!/bin/sh\nexit 0\n", true);
  }
  for (const Args &extra : {Args{"--list"}, Args{"--filter", "exit-zero/no-arguments$"}}) {
    Args args = {"--programs", dir / "plain", "--programs", dir / forged};
    args.insert(args.end(), extra.begin(), extra.end());
    process::Finished run = check(args);
    EXPECT_NE(process::ending(run), "exit 2") << run.err;
    for (const std::string &line : lines(run.out)) {
      EXPECT_FALSE(line.starts_with("not ok 77")) << run.out;
      EXPECT_FALSE(line.starts_with("# 999")) << run.out;
    }
    EXPECT_NE(run.out.find("x_not_ok_77_-_injected_"), std::string::npos) << run.out;
  }
}

} // namespace

namespace {

// What a pasted command gives the process it starts: a script of the test's own records the
// arguments and environment it was started with, NUL-separated, and exits 7.
struct Recorder {
  Scratch dir{"command"};
  fs::path canary = dir / "canary", argv = dir / "argv", environ = dir / "environ";

  // The recorder, at `folder/name` under the scratch folder; it needs no PATH.
  fs::path make(const std::string &folder, const std::string &name = "record") const {
    fs::create_directories(dir / folder);
    fs::path script = dir / folder / name;
    write(script,
          "#!/bin/sh\n/bin/cat /proc/$$/cmdline >'" + argv.string() +
              "'\n/bin/cat /proc/$$/environ >'" + environ.string() + "'\nexit 7\n",
          true);
    return script;
  }

  // Hostile text that, read by the shell or env as anything but data, creates the canary.
  std::vector<std::string> hostile() const {
    std::string all, touch = "touch " + canary.string();
    for (int c = 1; c < 256; ++c)
      all += char(c);
    return {all,
            "-",
            "-S A=1 /usr/bin/" + touch,
            "-u=x",
            "-i=x",
            "--chdir=/",
            "a=b",
            "=x",
            "'",
            "\"",
            "$(" + touch + ")",
            "`" + touch + "`",
            "\n" + touch + "\n",
            "; " + touch,
            "&& " + touch,
            "| " + touch,
            "> " + canary.string(),
            "$'\\n'",
            "\\",
            "!!",
            "~",
            "*",
            "#",
            "${IFS}",
            "\x7f\xff",
            std::string(20000, 'x')};
  }
};

std::vector<std::string> nulSeparated(const std::string &text) {
  std::vector<std::string> words;
  for (size_t from = 0; from < text.size();) {
    size_t to = text.find('\0', from);
    words.push_back(text.substr(from, to - from));
    from = to == std::string::npos ? text.size() : to + 1;
  }
  return words;
}

// Every byte of a name, an argument, an environment entry, a folder or a runner word is data
// to the pasted command: exactly the case's arguments and environment arrive, nothing else runs,
// and its status is the program's.
TEST(Command, PastedIntoBashStartsExactlyTheCase) {
  Recorder record;
  std::vector<std::string> hostile = record.hostile();
  std::vector<std::string> folders = {"plain",
                                      "a=b",
                                      "-x",
                                      "$(touch " + record.canary.string() + ")",
                                      "`touch " + record.canary.string() + "`",
                                      "'\"\\ ;|&",
                                      "a\nb",
                                      "\x01\x7f\xff"};
  std::string every; // every byte a folder name can hold
  for (int c = 1; c < 256; ++c)
    if (c != '/')
      every += char(c);
  folders.push_back(every);
  struct Row {
    process::Start start;
    std::vector<std::string> environment; // what should arrive
  };
  std::vector<Row> rows;
  for (const std::string &folder : folders) {
    fs::path program = record.make(folder);
    // Its arguments alone; with every hostile entry; as a runner's, with hostile words.
    Row bare, entries, runner;
    bare.start.argv = {program};
    bare.start.argv.insert(bare.start.argv.end(), hostile.begin(), hostile.end());
    entries.start.argv = {program, "x"};
    for (const std::string &text : hostile)
      if (!text.empty() && text.size() < 1000) {
        std::string entry = text.find('=') == std::string::npos ? "N=" + text : text;
        if (std::find_if(entries.environment.begin(), entries.environment.end(), [&](auto &e) {
              return e.substr(0, e.find('=')) == entry.substr(0, entry.find('='));
            }) == entries.environment.end())
          entries.environment.push_back(entry);
      }
    entries.start.environment = entries.environment;
    runner.start.argv = {program, "-i", "A=1", "--", "$(touch " + record.canary.string() + ")"};
    runner.start.environment = runner.environment = {"PATH=/x=y", "-u=PATH"};
    rows.insert(rows.end(), {bare, entries, runner});
  }
  // A program whose own name holds '=', which env cannot start after its entries.
  Row named;
  named.start.argv = {record.make("named", "a=b"), "y"};
  named.start.environment = {"A=1"};
  rows.push_back(named);

  for (const Row &row : rows) {
    std::string line = command::line(row.start);
    SCOPED_TRACE(line.substr(0, 2000));
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), std::string::npos);
    fs::remove(record.argv);
    process::Finished pasted = process::run({"bash", "-c", line}, {}, {std::chrono::seconds(20)});
    EXPECT_EQ(process::ending(pasted), "exit 7") << pasted.err;
    EXPECT_FALSE(fs::exists(record.canary));
    std::vector<std::string> argv = nulSeparated(slurp(record.argv));
    ASSERT_GE(argv.size(), 2u);
    // The kernel starts the script's interpreter with the script's path for its first word:
    // with entries, a folder holding '=' is the working folder, and the script ./NAME.
    std::vector<std::string> expected = row.start.argv;
    expected.insert(expected.begin(), "/bin/sh");
    fs::path program = row.start.argv[0];
    if (!row.environment.empty() && program.parent_path().string().find('=') != std::string::npos)
      expected[1] = "./" + program.filename().string();
    EXPECT_EQ(argv, expected);
    std::vector<std::string> environment = nulSeparated(slurp(record.environ));
    if (program.filename() == "a=b") {
      EXPECT_TRUE(environment.empty());
      EXPECT_NE(line.find("# its environment is not given here"), std::string::npos);
    } else {
      EXPECT_EQ(environment, row.environment);
    }
  }
}

// A command too long for one line: the report says how to write the case as a script, whose
// pasted options name that case alone whatever its name, and which starts exactly what the case
// did: the program writes its two arguments.
TEST(Command, TooLongSaysHowToWriteItAsAScript) {
  Recorder record;
  std::string touch = "touch " + record.canary.string();
  std::string names[] = {"h/long(1)+[x]",      "h/$(" + touch + ")", "h/`" + touch + "`",
                         "h/'\"\\ ; " + touch, "h/^.*?{2}|$a\\b\\",  "h/-x=1 ${IFS}!!"};
  fs::path cases = record.dir / "cases.jsonl";
  std::string lines;
  std::string a(40000, 'a'), b(40000, 'b');
  json big = {{"program", "print-args"},
              {"args", {a, b}},
              {"stdin", "/dev/null"},
              {"stdout", "pipe"},
              {"stderr", "pipe"},
              {"expect", {{"stdout", "not this\n"}, {"stderr", ""}, {"exit", 0}}}};
  for (const std::string &name : names) {
    big["name"] = name;
    lines += big.dump() + "\n";
  }
  write(cases, lines);
  process::Finished run = check({"--cases", cases, "--format", "json"});
  EXPECT_EQ(process::ending(run), "exit 1") << run.err;
  json results = json::parse(run.out);
  for (const json &c : results["cases"]) {
    std::string said = c["command"];
    SCOPED_TRACE(said);
    std::string prefix = "too long for one line: the same checker's options with --reproduce ",
                suffix = " write it as a script";
    ASSERT_TRUE(said.starts_with(prefix) && said.ends_with(suffix));
    std::string options = said.substr(prefix.size(), said.size() - prefix.size() - suffix.size());
    fs::path script = record.dir / "case.sh";
    std::string written = std::string(CHECKER) + " --cases " + cases.string() + " --programs " +
                          (faulty / "none").string() + " --runner= --reproduce " + options + " >" +
                          script.string();
    process::Finished writing = process::run({"bash", "-c", written});
    ASSERT_EQ(process::ending(writing), "exit 0") << writing.err;
    process::Finished started = process::run({"bash", script});
    EXPECT_EQ(process::ending(started), "exit 0") << started.err;
    EXPECT_EQ(started.out, a + " " + b + "\n");
    EXPECT_FALSE(fs::exists(record.canary));
  }
}

// Each part of a start that the command reproduces gives what process::run gives, status and
// bytes; each it cannot is named in its comment.
TEST(Command, ReproducesTheStartOrSaysWhatItDoesNot) {
  Scratch dir("probe");
  fs::path probe = dir / "probe";
  write(probe, R"(#!/bin/sh
case $1 in
status) ulimit -s; ulimit -n; tr '\0' '\n' </proc/$$/environ; exec grep -E '^Sig(Ign|Blk)' /proc/$$/status ;;
flood) yes | head -c 200000; exit 3 ;;
streams) echo out; echo err >&2; exit 4 ;;
esac
)",
        true);
  auto start = [&](std::string what) {
    process::Start s;
    s.argv = {probe, what};
    return s;
  };
  process::Start limits = start("status"), ignored = start("status"), closeAfter = start("flood"),
                 errOnly = start("streams"), quiet = start("streams"), socket = start("streams"),
                 throughPath = start("status"), throughPathWithEntries = start("status"),
                 dup = start("status"), slow = start("flood");
  limits.limits = {{RLIMIT_STACK, 1000000}, {RLIMIT_NOFILE, 20}};
  ignored.ignored = {SIGPOLL, SIGHUP, SIGPIPE};
  closeAfter.reader = process::Reader::CloseAfter;
  closeAfter.closeAfter = 10;
  errOnly.streams.out = Stream::DevNull;
  quiet.streams = {Stream::Closed, Stream::DevNull, Stream::Closed};
  socket.streams.out = Stream::Socket;
  throughPath.argv = throughPathWithEntries.argv = {"sh", probe, "status"};
  throughPathWithEntries.environment = {"A=1"};
  dup.environment = {"A=1", "A=2", "B"};
  slow.reader = process::Reader::Slow;
  const struct {
    process::Start start;
    bool same;           // whether bash gives what process::run gives
    std::string comment; // what its comment says, "" for none
  } rows[] = {
      {limits, false, "its stack limit is 1000000 bytes, which ulimit gives in whole KiB only"},
      {start("status"), true, ""},
      {ignored, true, ""},
      {closeAfter, true, ""},
      {errOnly, true, ""},
      {quiet, true, ""},
      {throughPath, true, ""},
      {throughPathWithEntries, true, "its first argument is /"},
      {socket, true, "standard output is a pipe here, where the case has a socket"},
      {dup, false, "its environment holds A more than once"},
      {slow, true, "reads standard output slowly"},
  };
  for (const auto &row : rows) {
    std::string line = command::line(row.start);
    SCOPED_TRACE(line);
    size_t hash = line.find("  # ");
    EXPECT_EQ(hash != std::string::npos, !row.comment.empty());
    if (!row.comment.empty()) {
      EXPECT_NE(line.find(row.comment, hash), std::string::npos);
    }
    process::Finished direct = process::run(row.start, {std::chrono::seconds(20)});
    process::Finished pasted = process::run({"bash", "-c", line}, {}, {std::chrono::seconds(20)});
    std::string ending = direct.ending.kind == process::Ending::Kind::Signaled
                             ? "exit " + std::to_string(128 + direct.ending.code)
                             : process::ending(direct);
    EXPECT_EQ(process::ending(pasted), ending) << pasted.err;
    if (row.same) {
      EXPECT_EQ(pasted.out, direct.out);
      EXPECT_EQ(pasted.err, direct.err);
    } else {
      EXPECT_NE(pasted.out, direct.out);
    }
  }
  // What no shell gives, said.
  process::Start socketClosed = start("streams"), blocked = start("streams");
  socketClosed.streams.out = Stream::ClosedSocket;
  blocked.blocked = {SIGUSR1};
  EXPECT_NE(command::line(socketClosed).find("# standard output a socket whose peer has gone"),
            std::string::npos);
  EXPECT_NE(command::line(blocked).find("# the case also starts it with SIGUSR1 blocked"),
            std::string::npos);
}

} // namespace
