// The results as one JSON document, for programs: the run, then every case with its outcome,
// endings, the streams that differ and the command that reproduces a failure. Its "version"
// changes only where a reader would have to.
#include "report.hpp"
#include "report_parts.hpp"
#include "text.hpp"

#include <nlohmann/json.hpp>

namespace report {
namespace {

using nlohmann::json;

class Json : public WholeAtEnd {
public:
  void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
           double seconds) override {
    json targets = json::array();
    for (const Target &t : run.targets)
      targets.push_back({{"programs", t.dir.string()},
                         {"processor", t.processor},
                         {"runner", t.runner},
                         {"started", t.started}});
    json results = json::array();
    for (size_t i = 0; i < entries.size(); ++i) {
      const Verdict &v = verdicts[i];
      const Entry &e = entries[i];
      Outcome o = outcome(e, v);
      json one = {{"name", e.name},
                  {"case", e.c->name},
                  {"program", e.c->program},
                  {"processor", run.targets[e.target].processor},
                  {"outcome", kind(o).name},
                  {"runs", v.runs},
                  {"failed_runs", v.failures},
                  {"flaky", v.flaky()},
                  {"seconds", v.seconds},
                  {"expected", v.first.expectedEnding},
                  {"actual", v.first.actualEnding}};
      // Every case has every field: what passed says nothing and has no command.
      json streams = json::object();
      for (const compare::Difference &d : v.first.differences)
        streams[d.stream] = {{"first_difference", d.first},
                             {"expected_length", d.expectedLength},
                             {"actual_length", d.actualLength},
                             {"excerpt_from", d.from},
                             {"expected_excerpt", text::escaped(d.expected)},
                             {"actual_excerpt", text::escaped(d.actual)}};
      one["message"] = o == Outcome::Skipped          ? v.first.skipped
                       : o == Outcome::UnexpectedPass ? kind(o).directive
                                                      : v.summary();
      one["streams"] = v.passed() ? json::object() : streams;
      one["command"] = v.passed() ? json(nullptr) : json(reproduce(e, v));
      if (!v.first.left.empty())
        one["left"] = v.first.left;
      results.push_back(one);
    }
    Counts n = count(entries, verdicts);
    json document = {{"format", "support-programs-check results"},
                     {"version", 2},
                     {"checker", SUPPORT_VERSION},
                     {"run",
                      {{"started", started},
                       {"hostname", hostname()},
                       {"seconds", seconds},
                       {"cases_file", run.casesFile},
                       {"repeat", run.repeat},
                       {"seed", run.seed ? json(*run.seed) : json(nullptr)},
                       // JavaScript's numbers, and jq's, hold 53 bits: this one all 64.
                       {"seed_text", run.seed ? json(std::to_string(*run.seed)) : json(nullptr)},
                       {"targets", targets}}},
                     {"summary",
                      {{"cases", n.all},
                       {"passed", n.passed + n.unexpected}, // every case that passed
                       {"failed", n.failed},
                       {"known_failures", n.known},
                       {"unexpected_passes", n.unexpected},
                       {"skipped", n.skipped},
                       {"flaky", n.flaky}}},
                     {"cases", results}};
    // Bytes from outside that are not UTF-8 become U+FFFD; everything else as it is, in ASCII.
    put(document.dump(1, ' ', true, json::error_handler_t::replace) + "\n");
  }
};

} // namespace

std::unique_ptr<Reporter> json() { return std::make_unique<Json>(); }

} // namespace report
