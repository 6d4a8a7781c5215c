#include "report.hpp"

#include "command.hpp"
#include "fatal.hpp"
#include "report_parts.hpp"
#include "text.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <numeric>
#include <sstream>

namespace report {

std::string fixed(double seconds) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3) << seconds;
  return out.str();
}

namespace {

// "took 1.234 s, more than the 0.5 s the case allows"
std::string tookTooLong(const compare::Result &r) {
  std::ostringstream most;
  most << r.mostSeconds;
  return "took " + fixed(r.seconds) + " s, more than the " + most.str() + " s the case allows";
}

std::string differs(const compare::Difference &d) {
  if (d.prefix && d.expectedLength == d.actualLength && d.first == d.actualLength)
    return d.stream + " is all of the output, where the program should have ended before it "
                      "wrote all";
  return d.stream + " differs from byte " + std::to_string(d.first);
}

} // namespace

std::string summary(const compare::Result &r) {
  std::vector<std::string> parts;
  if (r.endingDiffers)
    parts.push_back(r.actualEnding + ", expected " + r.expectedEnding);
  if (r.inputLost)
    parts.push_back("stdin lost " + std::to_string(r.inputHeld - r.inputUnread) + " of the " +
                    std::to_string(r.inputHeld) + " bytes it held, which the program never reads");
  if (r.tooSlow())
    parts.push_back(tookTooLong(r));
  for (const compare::Difference &d : r.differences)
    parts.push_back(differs(d));
  std::string line;
  for (const std::string &part : parts)
    line += (line.empty() ? "" : "; ") + part;
  return line;
}

std::string yaml(const compare::Result &r) {
  std::ostringstream yaml;
  if (r.endingDiffers)
    yaml << "  ending:\n    expected: " << text::quoted(r.expectedEnding)
         << "\n    actual: " << text::quoted(r.actualEnding) << "\n";
  if (r.inputLost)
    yaml << "  stdin:\n    unread_expected: " << r.inputHeld
         << "\n    unread_actual: " << r.inputUnread << "\n";
  if (r.tooSlow())
    yaml << "  time:\n    most_seconds: " << r.mostSeconds << "\n    seconds: " << fixed(r.seconds)
         << "\n";
  for (const compare::Difference &d : r.differences) {
    yaml << "  " << d.stream << ":\n    first_difference: " << d.first << "\n    "
         << (d.prefix ? "expected_prefix_of_length: " : "expected_length: ") << d.expectedLength
         << "\n    actual_length: " << d.actualLength << "\n";
    if (d.excerpt())
      yaml << "    excerpt_from: " << d.from << "\n";
    yaml << "    expected: " << text::quoted(d.expected)
         << "\n    actual: " << text::quoted(d.actual) << "\n";
  }
  return yaml.str();
}

std::string reproduce(const Entry &entry, const Verdict &v) {
  if (!v.first.command.empty())
    return v.first.command;
  return "too long for one line: the same checker's options with --reproduce " +
         command::bashWord(entry.name) + " write it as a script";
}

std::string details(const Entry &entry, const Verdict &v) {
  std::string yaml;
  if (v.runs > 1)
    yaml +=
        "  runs: " + std::to_string(v.runs) + "\n  failed: " + std::to_string(v.failures) + "\n";
  yaml += report::yaml(v.first);
  if (!v.passed())
    yaml += "  command: " + text::quoted(reproduce(entry, v)) + "\n";
  return yaml;
}

std::string leftBehind(const std::vector<std::string> &left) {
  std::string names;
  for (size_t i = 0; i < left.size() && i < 5; ++i)
    names += (i ? ", " : "") + text::shown(left[i]);
  if (left.size() > 5)
    names += " and " + std::to_string(left.size() - 5) + " more";
  return "left files in its working folder: " + names;
}

const OutcomeKind &kind(Outcome o) {
  static const OutcomeKind kinds[] = {
      {Outcome::Passed, "passed", false, ""},
      {Outcome::Failed, "failed", true, ""},
      {Outcome::KnownFailure, "known failure", false, "known failure"},
      {Outcome::UnexpectedPass, "unexpected pass", true,
       "unexpected pass: it is listed as a known failure"},
      {Outcome::Skipped, "skipped", false, ""},
  };
  return *std::find_if(std::begin(kinds), std::end(kinds),
                       [o](const OutcomeKind &k) { return k.outcome == o; });
}

Outcome outcome(const Entry &entry, const Verdict &v) {
  if (v.passed() && v.skipped())
    return Outcome::Skipped;
  if (entry.known)
    return v.passed() ? Outcome::UnexpectedPass : Outcome::KnownFailure;
  return v.passed() ? Outcome::Passed : Outcome::Failed;
}

Counts count(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts, long target) {
  Counts n;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (target >= 0 && entries[i].target != size_t(target))
      continue;
    ++n.all;
    switch (outcome(entries[i], verdicts[i])) {
    case Outcome::Passed:
      ++n.passed;
      break;
    case Outcome::Failed:
      ++n.failed;
      break;
    case Outcome::KnownFailure:
      ++n.known;
      break;
    case Outcome::UnexpectedPass:
      ++n.unexpected;
      break;
    case Outcome::Skipped:
      ++n.skipped;
    }
    n.flaky += verdicts[i].flaky();
  }
  return n;
}

std::string timestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

void WholeAtEnd::begin(const Run &r) {
  run = r;
  started = timestamp();
}

std::string hostname() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name)
    return "localhost";
  return name;
}

namespace {

// The slowest cases, most first, as "name 0.120 s".
std::string slowest(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts) {
  std::vector<size_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  size_t shown = std::min<size_t>(3, order.size());
  std::partial_sort(order.begin(), order.begin() + shown, order.end(),
                    [&](size_t a, size_t b) { return verdicts[a].seconds > verdicts[b].seconds; });
  std::string line;
  for (size_t i = 0; i < shown; ++i)
    line +=
        (i ? ", " : "") + entries[order[i]].name + " " + fixed(verdicts[order[i]].seconds) + " s";
  return line;
}

// A test line's description or directive, backslash and '#' escaped as TAP asks, on one line of
// printable ASCII: a line break is a space, any other byte that is not printable a C escape.
std::string escaped(const std::string &text) {
  std::string line;
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    line += ch == '\\' || ch == '#'      ? std::string{'\\', ch}
            : ch == '\n'                 ? std::string(" ")
            : byte < 0x20 || byte > 0x7e ? text::escaped(std::string_view(&ch, 1))
                                         : std::string(1, ch);
  }
  return line;
}

class Tap : public Reporter {
public:
  void begin(const Run &r) override {
    run = r;
    std::string header = "TAP version " + std::to_string(run.tapVersion) + "\n";
    for (const Target &t : run.targets)
      header += "# " + text::shown(t.dir) + ", started " + t.started + "\n";
    if (run.repeat > 1)
      header += "# every case " + std::to_string(run.repeat) + " times\n";
    if (run.seed)
      header += "# seed " + std::to_string(*run.seed) + "\n";
    put(header + "1.." + std::to_string(run.cases) + "\n");
  }

  // A test line, backslash and '#' in the description escaped as TAP asks, a known failure's
  // or unexpected pass's directive, and its YAML: the time, and what failed.
  void done(size_t index, const Entry &entry, const Verdict &v) override {
    Outcome o = outcome(entry, v);
    std::string line =
        (v.passed() ? "ok " : "not ok ") + std::to_string(index + 1) + " - " + escaped(entry.name);
    if (o == Outcome::Skipped)
      line += " # SKIP " + escaped(v.first.skipped);
    else if (entry.known)
      line += std::string(" # TODO ") + kind(o).directive;
    line += "\n  ---\n";
    if (!v.passed())
      line += "  message: " + text::quoted(v.summary()) + "\n";
    line += "  duration_ms: " + fixed(v.seconds * 1000) + "\n";
    if (!v.passed())
      line += details(entry, v);
    line += "  ...\n";
    if (!v.first.left.empty())
      line += "# " + entry.name + ": " + leftBehind(v.first.left) + "\n";
    put(line);
  }

  void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
           double seconds) override {
    Counts all = count(entries, verdicts);
    std::string text = "# slowest: " + slowest(entries, verdicts) + "\n";
    if (all.flaky)
      text += "# " + std::to_string(all.flaky) + " flaky: they failed in some runs only\n";
    if (run.targets.size() > 1)
      for (size_t t = 0; t < run.targets.size(); ++t) {
        Counts one = count(entries, verdicts, long(t));
        text += "# " + run.targets[t].processor + ": " +
                std::to_string(one.passed + one.unexpected) + " of " + std::to_string(one.all) +
                " passed\n";
      }
    if (all.skipped)
      text += "# " + std::to_string(all.skipped) +
              " skipped: a condition they ask for cannot be had here\n";
    // Every case that passed counts as passed, one listed as a known failure too; the line of
    // the list says what to do with it.
    if (run.knownList)
      text += "# " + std::to_string(all.failed) + " failed, " + std::to_string(all.known) +
              " known failures, " + std::to_string(all.unexpected) + " unexpected passes" +
              (all.unexpected ? ": listed as known failures, they pass now; take them off the "
                                "list (--write-failures FILE writes what still fails)"
                              : "") +
              "\n";
    put(text + "# " + std::to_string(all.passed + all.unexpected) + " of " +
        std::to_string(all.all) + " passed in " + fixed(seconds) + " s\n");
  }

  void interrupted(const std::string &why) override { put("Bail out! " + why + "\n"); }

private:
  Run run;
};

} // namespace

std::string Verdict::summary() const {
  if (passed())
    return "";
  if (runs == 1)
    return report::summary(first);
  return std::string(flaky() ? "flaky: " : "") + "failed " + std::to_string(failures) + " of " +
         std::to_string(runs) + " runs; first: " + report::summary(first);
}

std::unique_ptr<Reporter> tap() { return std::make_unique<Tap>(); }

void Reporter::put(const std::string &text) {
  if (kept)
    kept->append(text);
  else
    emit(text);
}

const std::vector<Format> formats = {
    {"text", "the report for a person", console},
    {"tap", "TAP", tap},
    {"junit", "JUnit XML", junit},
    {"json", "the JSON results", json},
};

std::unique_ptr<Reporter> made(const std::string &format) {
  for (const Format &f : formats)
    if (format == f.name)
      return f.make();
  throw Fatal("no report format is named " + text::shown(format));
}

namespace {

class Several : public Reporter {
public:
  explicit Several(std::vector<std::unique_ptr<Reporter>> all) : all(std::move(all)) {}
  void begin(const Run &run) override {
    for (auto &r : all)
      r->begin(run);
  }
  void done(size_t index, const Entry &entry, const Verdict &verdict) override {
    for (auto &r : all)
      r->done(index, entry, verdict);
  }
  void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
           double seconds) override {
    for (auto &r : all)
      r->end(entries, verdicts, seconds);
  }
  void interrupted(const std::string &why) override {
    for (auto &r : all)
      r->interrupted(why);
  }

private:
  std::vector<std::unique_ptr<Reporter>> all;
};

} // namespace

std::unique_ptr<Reporter> several(std::vector<std::unique_ptr<Reporter>> reporters) {
  return std::make_unique<Several>(std::move(reporters));
}

void emit(const std::string &text) {
  static bool begun = false; // whether any of the report was written
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable = {1, POLLOUT, 0};
      if (poll(&writable, 1, -1) >= 0 || errno == EINTR)
        continue;
    }
    if (n <= 0)
      throw Fatal(std::string(begun || done ? "the report is not whole: " : "") +
                  "cannot write the report to standard output: " +
                  (n < 0 ? std::strerror(errno) : "nothing was written"));
    done += size_t(n);
  }
  begun = true;
}

} // namespace report
