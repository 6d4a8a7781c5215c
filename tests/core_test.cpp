// The checker's core in-process: judging, which returns data alone, what the reports make of it,
// and every report format given bytes from outside.
#include "cases.hpp"
#include "compare.hpp"
#include "report.hpp"
#include "report_parts.hpp"
#include "text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace {

// A case of print-args, its streams piped, expecting `expect` (the JSON object's members).
cases::Case caseOf(const std::string &expect, const std::string &more = "") {
  std::string line = R"({"name": "c", "program": "print-args", "args": [], )" + more +
                     R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", "expect": {)" +
                     expect + "}}\n";
  return cases::parse(line, "cases.jsonl").at(0);
}

process::Finished exited(int status, std::string out, std::string err = "", double seconds = 0.01) {
  process::Finished o;
  o.ending = process::Ending::exited(status);
  o.out = std::move(out);
  o.err = std::move(err);
  o.seconds = seconds;
  return o;
}

// Bytes kept as pieces expand to every byte, whatever the pieces and their counts; equal
// arguments in a row are kept once, and expand in their order.
TEST(Bytes, ExpandToEveryByteInOrder) {
  struct Row {
    std::vector<std::pair<std::string, uint64_t>> pieces;
  } rows[] = {{{}},
              {{{"x", 1}}},
              {{{"x", 131071}}},
              {{{"ab", 3}, {"", 5}, {"c", 0}, {"de", 1}, {"f", 1}, {"xyz", 1000}}},
              {{{std::string("\x01\xff\n", 3), 4097}, {"tail", 1}}}};
  for (const Row &row : rows) {
    bytes::Bytes kept;
    std::string plain;
    for (const auto &[text, count] : row.pieces) {
      kept.add(text, count);
      for (uint64_t i = 0; i < count; ++i)
        plain += text;
    }
    EXPECT_EQ(kept.size(), plain.size());
    EXPECT_EQ(kept.expanded(), plain);
    kept.prepend("head");
    EXPECT_EQ(kept.expanded(), "head" + plain);
  }
  // Arguments one at a time and in runs (as the file's {"argument", "count"} gives them): equal
  // ones in a row kept once, none of a run of 0.
  bytes::List list;
  std::vector<std::string> plain;
  for (auto [one, count] : std::initializer_list<std::pair<const char *, uint64_t>>{
           {"x", 1}, {"x", 2}, {"", 1}, {"", 70000}, {"y", 0}, {"y", 1}, {"x", 1}, {"x", 3}}) {
    list.add(bytes::Bytes(one), count);
    plain.insert(plain.end(), count, one);
  }
  EXPECT_EQ(list.size(), plain.size());
  EXPECT_EQ(list.all().size(), 4u);
  EXPECT_EQ(list.expanded(), plain);
}

// What judging makes of an ending and the streams against what the case expects, and how the
// reports say it: the summary line whole, and lines its YAML must hold.
TEST(Judge, FindsWhatDiffersAndTheReportsSayIt) {
  const std::string longText(300, 'a');
  std::string longOther = longText;
  longOther[200] = 'b';
  struct Row {
    const char *what;
    cases::Case c;
    process::Finished outcome;
    std::string summary;
    std::vector<std::string> yaml;
  } rows[] = {
      {"passes", caseOf(R"("stdout": "x\n", "stderr": "", "exit": 0)"), exited(0, "x\n"), "", {}},
      {"another status",
       caseOf(R"("stdout": "x\n", "stderr": "", "exit": 0)"),
       exited(3, "x\n"),
       "exit 3, expected exit 0",
       {"  ending:\n    expected: \"exit 0\"\n    actual: \"exit 3\"\n"}},
      {"a signal",
       caseOf(R"("stdout": "", "stderr": "", "exit": 0)"),
       [] {
         process::Finished o;
         o.ending = process::Ending::signaled(SIGSEGV);
         return o;
       }(),
       "signal SIGSEGV, expected exit 0",
       {"    actual: \"signal SIGSEGV\"\n"}},
      {"a trailing space",
       caseOf(R"("stdout": "x\n", "stderr": "", "exit": 0)"),
       exited(0, "x \n"),
       "stdout differs from byte 1",
       {"  stdout:\n    first_difference: 1\n    expected_length: 2\n    actual_length: 3\n"
        "    expected: \"x\\n\"\n    actual: \"x \\n\"\n"}},
      {"both streams and the status, in that order",
       caseOf(R"("stdout": "x\n", "stderr": "", "exit": 0)"),
       exited(1, "", "\x1b[2J\xff"),
       "exit 1, expected exit 0; stdout differs from byte 0; stderr differs from byte 0",
       {"  stderr:\n    first_difference: 0\n    expected_length: 0\n    actual_length: 5\n"
        "    expected: \"\"\n    actual: \"\\x1b[2J\\xff\"\n"}},
      {"long streams shown about where they differ",
       caseOf(R"("stdout": ")" + longText + R"(", "stderr": "", "exit": 0)"),
       exited(0, longOther),
       "stdout differs from byte 200",
       {"    excerpt_from: 160\n    expected: \"" + std::string(120, 'a') + "\"\n",
        "    actual: \"" + std::string(40, 'a') + "b" + std::string(79, 'a') + "\"\n"}},
      {"a prefix, which the stream must not be whole",
       caseOf(R"("stdout_prefix": "abc", "stderr": "", "exit": 0)"),
       exited(0, "abc"),
       "stdout is all of the output, where the program should have ended before it wrote all",
       {"    expected_prefix_of_length: 3\n"}},
      {"a prefix cut short passes",
       caseOf(R"("stdout_prefix": "abc", "stderr": "", "exit": 0)"),
       exited(0, "ab"),
       "",
       {}},
      {"too slow for its budget",
       caseOf(R"("stdout": "", "stderr": "", "exit": 0)", R"("start_within": 0.5, )"),
       exited(0, "", "", 1.25),
       "took 1.250 s, more than the 0.5 s the case allows",
       {"  time:\n    most_seconds: 0.5\n    seconds: 1.250\n"}},
  };
  for (const Row &row : rows) {
    compare::Result r = compare::judge(row.c, row.outcome);
    EXPECT_EQ(r.passed(), row.summary.empty()) << row.what;
    EXPECT_EQ(report::summary(r), row.summary) << row.what;
    std::string yaml = report::yaml(r);
    for (const std::string &part : row.yaml)
      EXPECT_NE(yaml.find(part), std::string::npos) << row.what << ":\n" << yaml;
    // The excerpts are the bytes themselves, for each report to say in its own way.
    for (const compare::Difference &d : r.differences) {
      EXPECT_LE(d.expected.size(), d.excerpt() ? 120u : 160u) << row.what;
      if (d.stream == "stdout") {
        EXPECT_NE(row.c.out.expanded().find(d.expected), std::string::npos) << row.what;
      }
    }
  }
}

// What the checker could not have, and a condition that cannot be had, are neither a pass's nor
// a failure's differences: nothing is compared.
TEST(Judge, ComparesNothingOfACaseThatDidNotRun) {
  cases::Case c = caseOf(R"("stdout": "x\n", "stderr": "", "exit": 0)");
  process::Finished failure, skipped;
  failure.ending = {process::Ending::Kind::Failure, 0, "no memory"};
  skipped.ending = {process::Ending::Kind::NotArranged, 0, "takes root"};
  compare::Result f = compare::judge(c, failure), s = compare::judge(c, skipped);
  EXPECT_FALSE(f.passed());
  EXPECT_EQ(f.failure, "no memory");
  EXPECT_TRUE(s.passed());
  EXPECT_EQ(s.skipped, "takes root");
  EXPECT_TRUE(f.differences.empty() && s.differences.empty() && !f.endingDiffers);
}

// Every report format, given names and words from outside that look like its own syntax and
// bytes that are not text: each is printable ASCII, a line for each case where it has one,
// nothing forged, and the JSON reads back with every name as it was.
TEST(Reports, KeepBytesFromOutsideData) {
  const std::string hostile = "x\nnot ok 99 - forged\n# 0 of 0 passed\r\x1b[31m<&>\"']]>\xff\xfe";
  std::vector<cases::Case> cs;
  const char *names[] = {
      "ok", "not ok 7 - a # TODO b \\", "<a>&amp;\"'", "$(touch x) `y`", "skip # SKIP", "known"};
  for (const char *name : names) {
    cases::Case c = caseOf(R"("stdout": "", "stderr": "", "exit": 0)");
    c.name = name;
    cs.push_back(c);
  }
  report::Run run;
  // How they are started is said with every word from outside shown, as the runner's choice says
  // it.
  run.targets.push_back({hostile,
                         "i386",
                         {"qemu-i386", hostile},
                         "through qemu-i386 " + text::shown(hostile),
                         "",
                         ""});
  run.cases = cs.size();
  run.seed = 18446744073709551615u;
  run.casesFile = hostile;
  run.knownList = true;
  std::vector<report::Entry> entries;
  std::vector<report::Verdict> verdicts;
  for (size_t i = 0; i < cs.size(); ++i) {
    report::Verdict v;
    v.runs = 1;
    v.seconds = 0.5;
    process::Finished o = exited(0, "");
    if (i == 1 || i == 5)
      o = exited(1, hostile, hostile);
    if (i == 4)
      o.ending = {process::Ending::Kind::NotArranged, 0, hostile};
    v.first = compare::judge(cs[i], o);
    v.first.left = {hostile, "runner.log"};
    if (!v.first.passed()) {
      v.failures = 1;
      v.first.command = "( exec -c -- " + std::string("'x'") + " )";
    }
    entries.push_back({cs[i].name, &cs[i], 0, i == 5});
    verdicts.push_back(v);
  }
  for (const report::Format &format : report::formats) {
    std::string out;
    std::unique_ptr<report::Reporter> reporter = format.make();
    reporter->kept = &out;
    reporter->begin(run);
    for (size_t i = 0; i < entries.size(); ++i)
      reporter->done(i, entries[i], verdicts[i]);
    reporter->end(entries, verdicts, 3);
    SCOPED_TRACE(format.name);
    auto bad = std::find_if(out.begin(), out.end(), [](unsigned char byte) {
      return byte != '\n' && (byte < 0x20 || byte > 0x7e);
    });
    EXPECT_EQ(bad, out.end()) << "a byte " << int(static_cast<unsigned char>(*bad)) << " at "
                              << bad - out.begin() << ":\n"
                              << out;
    auto lines = [&](const std::string &start) {
      size_t n = out.starts_with(start);
      for (size_t at = 0; (at = out.find("\n" + start, at)) != std::string::npos; ++at)
        ++n;
      return n;
    };
    std::string name = format.name;
    if (name == "tap") {
      EXPECT_EQ(lines("ok ") + lines("not ok "), entries.size()) << out;
      EXPECT_EQ(lines("not ok "), 2u) << out;
      EXPECT_EQ(lines("1.."), 1u) << out;
    } else if (name == "junit") {
      EXPECT_EQ(lines("    <testcase "), entries.size()) << out;
      EXPECT_NE(out.find("tests=\"6\" failures=\"1\""), std::string::npos) << out;
    } else if (name == "text") {
      EXPECT_EQ(lines("FAIL "), 1u) << out;
      EXPECT_EQ(lines("KNOWN "), 1u) << out;
    } else if (name == "json") {
      nlohmann::json document = nlohmann::json::parse(out);
      ASSERT_EQ(document["cases"].size(), entries.size());
      for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(document["cases"][i]["name"], entries[i].name);
      EXPECT_EQ(document["run"]["seed_text"], "18446744073709551615");
      EXPECT_EQ(document["summary"]["failed"], 1);
      EXPECT_EQ(document["summary"]["skipped"], 1);
    }
  }
}

} // namespace
