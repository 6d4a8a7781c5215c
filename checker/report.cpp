#include "report.hpp"

#include "fatal.hpp"
#include "text.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <numeric>
#include <sstream>

namespace report {
namespace {

// Seconds with three decimals, in fixed notation.
std::string fixed(double seconds) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3) << seconds;
  return out.str();
}

// The YAML a verdict adds: how many of its runs failed, then its first failure's.
std::string details(const Verdict &v) {
  std::string yaml;
  if (v.runs > 1)
    yaml +=
        "  runs: " + std::to_string(v.runs) + "\n  failed: " + std::to_string(v.failures) + "\n";
  return yaml + v.first.details;
}

// The slowest cases, most first, as "name 0.120 s".
std::string slowest(const std::vector<cases::Case> &all, const std::vector<Verdict> &verdicts) {
  std::vector<size_t> order(all.size());
  std::iota(order.begin(), order.end(), 0);
  size_t shown = std::min<size_t>(3, order.size());
  std::partial_sort(order.begin(), order.begin() + shown, order.end(),
                    [&](size_t a, size_t b) { return verdicts[a].seconds > verdicts[b].seconds; });
  std::string line;
  for (size_t i = 0; i < shown; ++i)
    line += (i ? ", " : "") + all[order[i]].name + " " + fixed(verdicts[order[i]].seconds) + " s";
  return line;
}

// Names what a case's process left in its working folder: "left files in its working folder:
// blink.log".
std::string leftBehind(const std::vector<std::string> &left) {
  std::string names;
  for (size_t i = 0; i < left.size() && i < 5; ++i)
    names += (i ? ", " : "") + text::shown(left[i]);
  if (left.size() > 5)
    names += " and " + std::to_string(left.size() - 5) + " more";
  return "left files in its working folder: " + names;
}

class Tap : public Reporter {
public:
  void begin(const Run &run) override {
    std::string header = "TAP version 14\n# " + run.how + "\n";
    if (run.repeat > 1)
      header += "# every case " + std::to_string(run.repeat) + " times\n";
    if (run.seed)
      header += "# seed " + std::to_string(*run.seed) + "\n";
    emit(header + "1.." + std::to_string(run.cases) + "\n");
  }

  // A test line, backslash and '#' in the description escaped as TAP 14 asks, and its YAML: the
  // time, and what failed.
  void done(size_t index, const cases::Case &c, const Verdict &v) override {
    std::string line = (v.passed() ? "ok " : "not ok ") + std::to_string(index + 1) + " - ";
    for (char ch : c.name)
      line += ch == '\\' || ch == '#' ? std::string{'\\', ch} : std::string(1, ch);
    line += "\n  ---\n";
    if (!v.passed())
      line += "  message: " + text::quoted(v.summary()) + "\n";
    line += "  duration_ms: " + fixed(v.seconds * 1000) + "\n";
    if (!v.passed())
      line += details(v);
    line += "  ...\n";
    if (!v.first.left.empty())
      line += "# " + c.name + ": " + leftBehind(v.first.left) + "\n";
    emit(line);
  }

  void interrupted(const std::string &why) override { emit("Bail out! " + why + "\n"); }

  void end(const std::vector<cases::Case> &all, const std::vector<Verdict> &verdicts,
           double seconds) override {
    size_t passed = std::count_if(verdicts.begin(), verdicts.end(),
                                  [](const Verdict &v) { return v.passed(); });
    size_t flaky =
        std::count_if(verdicts.begin(), verdicts.end(), [](const Verdict &v) { return v.flaky(); });
    std::string text = "# slowest: " + slowest(all, verdicts) + "\n";
    if (flaky)
      text += "# " + std::to_string(flaky) + " flaky: they failed in some runs only\n";
    emit(text + "# " + std::to_string(passed) + " of " + std::to_string(all.size()) +
         " passed in " + fixed(seconds) + " s\n");
  }
};

// Text for XML 1.0 from any bytes: markup escaped, and what XML cannot hold as a C escape.
std::string xml(const std::string &text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '&' || c == '<' || c == '>' || c == '"')
      out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&quot;";
    else if (c == '\n' || (byte >= 0x20 && byte < 0x7f))
      out += c;
    else
      out += text::escaped(std::string_view(&c, 1));
  }
  return out;
}

class Junit : public Reporter {
public:
  void begin(const Run &r) override { run = r; }
  void done(size_t, const cases::Case &, const Verdict &) override {}
  void end(const std::vector<cases::Case> &all, const std::vector<Verdict> &verdicts,
           double seconds) override {
    size_t failures = std::count_if(verdicts.begin(), verdicts.end(),
                                    [](const Verdict &v) { return !v.passed(); });
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"" << all.size()
        << "\" failures=\"" << failures << "\" time=\"" << fixed(seconds) << "\">\n"
        << "  <testsuite name=\"support-programs\" tests=\"" << all.size() << "\" failures=\""
        << failures << "\" errors=\"0\" skipped=\"0\" time=\"" << fixed(seconds) << "\">\n"
        << "    <properties><property name=\"started\" value=\"" << xml(run.how) << "\"/>";
    if (run.seed)
      out << "<property name=\"seed\" value=\"" << *run.seed << "\"/>";
    out << "</properties>\n";
    for (size_t i = 0; i < all.size(); ++i) {
      out << "    <testcase classname=\"" << all[i].program << "\" name=\"" << xml(all[i].name)
          << "\" time=\"" << fixed(verdicts[i].seconds) << "\"";
      const Verdict &v = verdicts[i];
      if (v.passed() && v.first.left.empty()) {
        out << "/>\n";
        continue;
      }
      out << ">\n";
      if (!v.passed())
        out << "      <failure message=\"" << xml(v.summary()) << "\">" << xml(details(v))
            << "</failure>\n";
      if (!v.first.left.empty())
        out << "      <system-out>" << xml(leftBehind(v.first.left)) << "</system-out>\n";
      out << "    </testcase>\n";
    }
    out << "  </testsuite>\n</testsuites>\n";
    emit(out.str());
  }

  // The report is written whole at the end, or not at all.
  void interrupted(const std::string &) override {}

private:
  Run run;
};

} // namespace

std::string Verdict::summary() const {
  if (passed())
    return "";
  if (runs == 1)
    return first.summary;
  return std::string(flaky() ? "flaky: " : "") + "failed " + std::to_string(failures) + " of " +
         std::to_string(runs) + " runs; first: " + first.summary;
}

std::unique_ptr<Reporter> tap() { return std::make_unique<Tap>(); }
std::unique_ptr<Reporter> junit() { return std::make_unique<Junit>(); }

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
