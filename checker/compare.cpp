#include "compare.hpp"

#include "command.hpp"
#include "runner.hpp"
#include "text.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace compare {
namespace {

// Adds a YAML entry for one stream whose bytes differ: where they first differ and, around
// there, both (all of both when they are short). With `prefix`, the stream must be a part of
// `expected` from its start, and shorter.
void compareBytes(const char *stream, const std::string &expected, const std::string &actual,
                  bool prefix, Result &result) {
  size_t common = std::min(expected.size(), actual.size());
  size_t at = std::mismatch(expected.begin(), expected.begin() + common, actual.begin()).first -
              expected.begin();
  std::string what;
  if (prefix && at == actual.size() && actual.size() < expected.size())
    return;
  if (!prefix && expected == actual)
    return;
  if (prefix && actual == expected)
    what = std::string(stream) + " is all of the output, where the program should have ended "
                                 "before it wrote all";
  else
    what = std::string(stream) + " differs from byte " + std::to_string(at);
  size_t from = 0, length = std::string::npos;
  if (std::max(expected.size(), actual.size()) > 160) {
    from = at > 40 ? at - 40 : 0;
    length = 120;
  }
  std::ostringstream yaml;
  yaml << "  " << stream << ":\n    first_difference: " << at << "\n    "
       << (prefix ? "expected_prefix_of_length: " : "expected_length: ") << expected.size()
       << "\n    actual_length: " << actual.size() << "\n";
  if (from || length != std::string::npos)
    yaml << "    excerpt_from: " << from << "\n";
  std::string expectedShown =
      text::quoted(std::string_view(expected).substr(std::min(from, expected.size()), length));
  std::string actualShown =
      text::quoted(std::string_view(actual).substr(std::min(from, actual.size()), length));
  yaml << "    expected: " << expectedShown << "\n    actual: " << actualShown << "\n";
  result.details += yaml.str();
  result.summary += (result.summary.empty() ? "" : "; ") + what;
  result.differences.push_back(
      {stream, at, expected.size(), actual.size(), from, expectedShown, actualShown});
}

} // namespace

process::Start startOf(const cases::Case &c, const std::vector<std::string> &runner,
                       const std::filesystem::path &dir, const std::string &execOnly) {
  process::Start start = c.start;
  start.freshFolder = true;
  std::string executed = dir / c.program;
  if (c.startedAs != cases::Case::StartedAs::Path) {
    start.linkName = cases::linkName(c.program);
    start.linkTo = executed;
    start.execOnly = c.startedAs == cases::Case::StartedAs::ExecOnly;
    executed = "./" + start.linkName;
    if (start.execOnly)
      start.notArranged = execOnly;
  }
  start.argv = runner;
  // Started itself, by the kernel: the argv[0] the case gives reaches it, or no vector at all.
  // Through a runner the program is the runner's first argument, and its argv[0] the runner's.
  if (runner.empty()) {
    start.path = executed;
    if (!c.noVector)
      start.argv.push_back(c.argv0.value_or(executed));
  } else {
    start.argv.push_back(executed);
  }
  start.argv.insert(start.argv.end(), c.args.begin(), c.args.end());
  return start;
}

Result judge(const cases::Case &c, const process::Outcome &outcome) {
  Result result;
  result.seconds = outcome.seconds;
  result.left = outcome.left;
  if (outcome.ending.kind == process::Ending::Kind::Failure) {
    result.failure = outcome.ending.detail;
    return result;
  }
  if (outcome.ending.kind == process::Ending::Kind::NotArranged) {
    result.skipped = outcome.ending.detail;
    return result;
  }
  result.expected = c.ending.text();
  result.actual = outcome.ending.text();
  if (outcome.ending != c.ending) {
    const std::string &actual = result.actual, &expected = result.expected;
    result.details += "  ending:\n    expected: " + text::quoted(expected) +
                      "\n    actual: " + text::quoted(actual) + "\n";
    result.summary = actual + ", expected " + expected;
  }
  if (c.start.streams.in == process::Stream::PipeWithData && outcome.in != process::heldInput) {
    std::string what =
        "stdin lost " + std::to_string(process::heldInput.size() - outcome.in.size()) + " of the " +
        std::to_string(process::heldInput.size()) + " bytes it held, which the program never reads";
    result.details +=
        "  stdin:\n    unread_expected: " + std::to_string(process::heldInput.size()) +
        "\n    unread_actual: " + std::to_string(outcome.in.size()) + "\n";
    result.summary += (result.summary.empty() ? "" : "; ") + what;
  }
  if (c.startWithin > 0 && outcome.seconds > c.startWithin) {
    std::ostringstream took, yaml;
    took << "took " << std::fixed << std::setprecision(3) << outcome.seconds << " s, more than the "
         << std::defaultfloat << c.startWithin << " s the case allows";
    yaml << "  time:\n    most_seconds: " << c.startWithin << "\n    seconds: " << std::fixed
         << std::setprecision(3) << outcome.seconds << "\n";
    result.details += yaml.str();
    result.summary += (result.summary.empty() ? "" : "; ") + took.str();
    result.tooSlow = true;
  }
  if (process::readBack(c.start.streams.out))
    compareBytes("stdout", c.out, outcome.out, c.outPrefix, result);
  if (process::readBack(c.start.streams.err))
    compareBytes("stderr", c.err, outcome.err, false, result);
  return result;
}

Result check(const cases::Case &c, const std::vector<std::string> &runner,
             const std::filesystem::path &dir, std::chrono::seconds timeout,
             const std::string &execOnly) {
  process::Start start = startOf(c, runner, dir, execOnly);
  Result result =
      judge(c, process::run(start, runner::limits(runner, timeout, c.out.size(), c.err.size())));
  if (!result.passed() && result.failure.empty())
    result.command = command::line(start);
  return result;
}

} // namespace compare
