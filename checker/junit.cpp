// JUnit XML as CI systems read it: a testsuite for each folder of programs, times in fixed
// notation, a timestamp and the host's name, a failure's type, a known failure as skipped.
#include "report.hpp"
#include "report_parts.hpp"
#include "text.hpp"

#include <sstream>

namespace report {
namespace {

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

class Junit : public WholeAtEnd {
public:
  void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
           double seconds) override {
    Counts all = count(entries, verdicts);
    // Times are the cases' own, summed, so that a suite's add up to the run's, whatever ran side
    // by side; the run's time on the clock is its property wall_seconds.
    double total = 0;
    for (const Verdict &v : verdicts)
      total += v.seconds;
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" << xml(run.suiteName)
        << "\" tests=\"" << all.all << "\" failures=\"" << all.failed + all.unexpected
        << "\" errors=\"0\" time=\"" << fixed(total) << "\">\n";
    for (size_t t = 0; t < run.targets.size(); ++t) {
      const Target &target = run.targets[t];
      Counts one = count(entries, verdicts, long(t));
      double time = 0;
      for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].target == t)
          time += verdicts[i].seconds;
      std::string name = run.suiteName + "/" + target.processor;
      out << "  <testsuite name=\"" << xml(name) << "\" tests=\"" << one.all << "\" failures=\""
          << one.failed + one.unexpected << "\" errors=\"0\" skipped=\"" << one.known + one.skipped
          << "\" time=\"" << fixed(time) << "\" timestamp=\"" << started << "\" hostname=\""
          << xml(hostname()) << "\">\n"
          << "    <properties><property name=\"started\" value=\""
          << xml(text::shown(target.dir) + ", started " + target.started) << "\"/>";
      if (run.seed)
        out << "<property name=\"seed\" value=\"" << *run.seed << "\"/>";
      out << "<property name=\"wall_seconds\" value=\"" << fixed(seconds) << "\"/>";
      out << "</properties>\n";
      for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].target != t)
          continue;
        const Verdict &v = verdicts[i];
        Outcome o = outcome(entries[i], v);
        out << "    <testcase classname=\"" << entries[i].c->program << "\" name=\""
            << xml(entries[i].name) << "\" time=\"" << fixed(v.seconds) << "\"";
        if (o == Outcome::Passed && v.first.left.empty()) {
          out << "/>\n";
          continue;
        }
        out << ">\n";
        if (o == Outcome::Skipped)
          out << "      <skipped message=\"" << xml(v.first.skipped) << "\"/>\n";
        else if (o == Outcome::KnownFailure)
          out << "      <skipped message=\"" << xml("known failure: " + v.summary()) << "\"/>\n";
        else if (o == Outcome::Failed)
          out << "      <failure message=\"" << xml(v.summary()) << "\" type=\""
              << (v.first.endingDiffers                              ? "ending"
                  : v.first.tooSlow() && v.first.differences.empty() ? "time"
                                                                     : "output")
              << "\">" << xml(details(entries[i], v)) << "</failure>\n";
        else if (o == Outcome::UnexpectedPass)
          out << "      <failure message=\"" << xml(kind(o).directive)
              << "\" type=\"unexpected pass\"/>\n";
        if (!v.first.left.empty())
          out << "      <system-out>" << xml(leftBehind(v.first.left)) << "</system-out>\n";
        out << "    </testcase>\n";
      }
      out << "  </testsuite>\n";
    }
    out << "</testsuites>\n";
    put(out.str());
  }
};

} // namespace

std::unique_ptr<Reporter> junit() { return std::make_unique<Junit>(); }

} // namespace report
