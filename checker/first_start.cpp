#include "first_start.hpp"

#include "fatal.hpp"
#include "process.hpp"
#include "text.hpp"

#include <sstream>

namespace first_start {

std::string firstWords(const std::string &err) {
  std::vector<std::string> said;
  std::istringstream lines(err);
  for (std::string line; said.size() < 2 && std::getline(lines, line);) {
    size_t from = line.find_first_not_of(" \t\r\f\v");
    size_t to = line.find_last_not_of(" \t\r\f\v");
    line = from == std::string::npos ? "" : line.substr(from, to - from + 1);
    size_t digits = line.find_first_not_of("0123456789");
    std::string rest = digits == std::string::npos ? "" : line.substr(digits);
    if (!rest.empty() && rest != ":" && (said.empty() || said.front().ends_with(":")))
      said.push_back(line);
    else if (!said.empty())
      break;
  }
  return said.empty() ? "" : said.size() == 1 ? said[0] : said[0] + " " + said[1];
}

std::string whyNot(const std::vector<std::string> &runner, const std::filesystem::path &dir,
                   const process::Bounds &bounds) {
  using process::Stream;
  process::Start start;
  start.argv = runner;
  start.argv.push_back(dir / "exit-zero");
  start.streams = {Stream::DevNull, Stream::Pipe, Stream::Pipe};
  start.freshFolder = true;
  process::Finished outcome = process::run(start, bounds);
  using Kind = process::Ending::Kind;
  const process::Ending &ending = outcome.ending;
  if (ending.kind == Kind::Failure)
    throw Fatal("cannot start exit-zero: " + ending.detail);
  if (ending == process::Ending::exited(0) && outcome.out.empty() && outcome.err.empty())
    return "";
  std::string why = ending.kind == Kind::Exited || ending.kind == Kind::Signaled
                        ? "it ended with " + ending.text()
                        : ending.text();
  if (ending == process::Ending::exited(127))
    why += ", that of a command that could not be started";
  if (!outcome.out.empty())
    why += "; it wrote " + std::to_string(outcome.out.size()) + " bytes on standard output";
  if (std::string said = firstWords(outcome.err); !said.empty())
    why += "; its standard error begins " + text::quoted(said);
  return why;
}

} // namespace first_start
