#include "compare.hpp"

#include "command.hpp"
#include "runner.hpp"

#include <algorithm>

namespace compare {
namespace {

// Adds where one stream's bytes differ, if they do: where they first differ and, around there,
// both (all of both when they are short). With `prefix`, the stream must be a part of `expected`
// from its start, and shorter.
void compareBytes(const char *stream, const std::string &expected, const std::string &actual,
                  bool prefix, Result &result) {
  size_t common = std::min(expected.size(), actual.size());
  size_t at = std::mismatch(expected.begin(), expected.begin() + common, actual.begin()).first -
              expected.begin();
  if (prefix && at == actual.size() && actual.size() < expected.size())
    return;
  if (!prefix && expected == actual)
    return;
  Difference d;
  d.stream = stream;
  d.prefix = prefix;
  d.first = at;
  d.expectedLength = expected.size();
  d.actualLength = actual.size();
  size_t length = std::string::npos;
  if (d.excerpt()) {
    d.from = at > 40 ? at - 40 : 0;
    length = Difference::shown;
  }
  d.expected = expected.substr(std::min(d.from, expected.size()), length);
  d.actual = actual.substr(std::min(d.from, actual.size()), length);
  result.differences.push_back(std::move(d));
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
  c.args.appendTo(start.argv);
  return start;
}

Result judge(const cases::Case &c, const process::Finished &outcome) {
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
  result.expectedEnding = c.ending.text();
  result.actualEnding = outcome.ending.text();
  result.endingDiffers = outcome.ending != c.ending;
  if (c.start.streams.in == process::Stream::PipeWithData && outcome.in != process::heldInput) {
    result.inputLost = true;
    result.inputHeld = process::heldInput.size();
    result.inputUnread = outcome.in.size();
  }
  if (c.startWithin > 0 && outcome.seconds > c.startWithin)
    result.mostSeconds = c.startWithin;
  if (process::readBack(c.start.streams.out))
    compareBytes("stdout", c.out.expanded(), outcome.out, c.outPrefix, result);
  if (process::readBack(c.start.streams.err))
    compareBytes("stderr", c.err.expanded(), outcome.err, false, result);
  return result;
}

Result check(const cases::Case &c, const std::vector<std::string> &runner,
             const std::filesystem::path &dir, std::chrono::seconds timeout,
             const std::string &execOnly) {
  process::Start start = startOf(c, runner, dir, execOnly);
  Result result =
      judge(c, process::run(start, runner::bounds(runner, timeout, c.out.size(), c.err.size())));
  if (!result.passed() && result.failure.empty())
    result.command = command::line(start);
  return result;
}

} // namespace compare
