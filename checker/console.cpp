// The report for a person at a terminal: a few lines for each case that did not pass, as it
// ends, with what differs and how to start it again; passes only counted; and at the end what the
// run comes to, with the names of what failed and the seed.
#include "command.hpp"
#include "report.hpp"
#include "report_parts.hpp"
#include "text.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

namespace report {
namespace {

// Bytes as they stand where they are printable ASCII, else escaped: nothing from a cases file or
// a runner can move the cursor or change the terminal.
std::string printable(const std::string &bytes) {
  const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes)
    if (byte >= 0x20 && byte < 0x7f)
      out += char(byte);
    else
      out += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
  return out;
}

// At most `most` bytes of `text`, "..." marking the cut.
std::string clipped(const std::string &text, size_t most) {
  return text.size() <= most ? text : text.substr(0, most - 3) + "...";
}

class Console : public Reporter {
public:
  void begin(const Run &r) override {
    run = r;
    // Colour where standard output is a terminal that says what it is, but for NO_COLOR.
    const char *no = std::getenv("NO_COLOR"), *term = std::getenv("TERM");
    // A report kept for a file has neither, whatever standard output is.
    colour = !kept && isatty(1) && !(no && *no) && term && *term && std::string(term) != "dumb";
    winsize size{};
    width = !kept && ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40 ? size.ws_col : 80;
    std::string line = "Checking " + std::to_string(run.cases) + " cases";
    for (size_t t = 0; t < run.targets.size(); ++t)
      line += std::string(t ? "; " : " of ") + printable(run.targets[t].dir.string()) +
              ", started " + printable(run.targets[t].started);
    if (run.repeat > 1)
      line += "; every case " + std::to_string(run.repeat) + " times";
    if (run.seed)
      line += "; seed " + std::to_string(*run.seed);
    put(line + "\n");
  }

  void done(size_t, const Entry &entry, const Verdict &v) override {
    Outcome o = outcome(entry, v);
    std::string name = printable(entry.name);
    if (o == Outcome::Passed)
      return;
    if (o == Outcome::Skipped) {
      ++skipped[printable(v.first.skipped)];
      return;
    }
    if (o == Outcome::UnexpectedPass) {
      passingKnown += (passingKnown.empty() ? "" : ", ") + name;
      put(paint("33", "PASS") + " " + name + ": listed as a known failure, it passes now\n");
      return;
    }
    if (o == Outcome::KnownFailure) {
      put(paint("33", "KNOWN") + " " + name + ": " + printable(v.summary()) + "\n");
      return;
    }
    if (++failures <= 20)
      failed += (failed.empty() ? "" : ", ") + name;
    std::string text = paint("1;31", "FAIL") + " " + name + ": " + printable(v.summary()) + "\n";
    if (!v.first.differences.empty()) {
      const compare::Difference &d = v.first.differences.front();
      size_t room = width > 40 ? (width - 30) / 2 : 20;
      text += "     " + d.stream + (d.from ? " from byte " + std::to_string(d.from) : "") +
              ": expected " + clipped(text::quoted(d.expected), room) + ", actual " +
              clipped(text::quoted(d.actual), room) + "\n";
    }
    // The command where it fits on a line of the terminal, else how to have it written.
    const std::string &command = v.first.command;
    text += !command.empty() && command.size() + 7 <= width
                ? "     $ " + command + "\n"
                : "     the same options with --reproduce " + command::bashWord(entry.name) +
                      " write its start as a script\n";
    put(text);
  }

  void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
           double seconds) override {
    Counts all = count(entries, verdicts);
    std::string text;
    if (all.failed)
      text += paint("1;31", "Failed") + " (" + std::to_string(all.failed) + "): " + failed +
              (all.failed > 20 ? " and " + std::to_string(all.failed - 20) +
                                     " more (--write-failures FILE lists them all)"
                               : "") +
              "\n";
    if (all.unexpected)
      text += paint("33", "Listed as known failures, they pass now") + " (" +
              std::to_string(all.unexpected) + "): " + passingKnown +
              ": take them off the list (--write-failures FILE writes what still fails)\n";
    for (const auto &[why, n] : skipped)
      text += paint("33", "Skipped") + " (" + std::to_string(n) + "): " + why + "\n";
    if (all.flaky)
      text += std::to_string(all.flaky) + " flaky: they failed in some runs only\n";
    bool bad = all.failed || all.unexpected;
    text += paint(bad ? "1;31" : "32", std::to_string(all.passed + all.unexpected) + " of " +
                                           std::to_string(all.all) + " passed") +
            (all.failed ? ", " + std::to_string(all.failed) + " failed" : "") +
            (all.known ? ", " + std::to_string(all.known) + " known failures" : "") +
            (all.skipped ? ", " + std::to_string(all.skipped) + " skipped" : "") + " in " +
            fixed(seconds) + " s\n";
    if (run.seed)
      text += "Seed " + std::to_string(*run.seed) + ": --seed " + std::to_string(*run.seed) +
              " takes the same order and cases again\n";
    put(text);
  }

  void interrupted(const std::string &why) override {
    put(paint("1;31", "Stopped") + ": " + printable(why) + "\n");
  }

private:
  std::string paint(const char *code, const std::string &text) const {
    return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
  }

  Run run;
  bool colour = false;
  size_t width = 80;
  size_t failures = 0;
  std::string failed, passingKnown;      // names, as they ended (the first 20 failed)
  std::map<std::string, size_t> skipped; // how many for each reason
};

} // namespace

std::unique_ptr<Reporter> console() { return std::make_unique<Console>(); }

} // namespace report
