// Any bytes as a process::Start (its argument words, runner words among them, environment
// entries, the folder of its program, its streams, limits and signals): the reproducing command
// is printable ASCII on one line, and read back as bash reads words, the words of its exec or
// env are exactly those the start gives, every other word one of the command's own.
#include "command.hpp"

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Bash's reading of the line's words, for the quoting command::quoted writes: plain characters,
// '...', \' between them, $'...' with \\, \' and \xHH. Stops at a comment; nullopt where a byte
// outside quotes is one the shell would take for more than a word or an operator of the command's
// own.
std::optional<std::vector<std::string>> words(std::string_view line) {
  std::vector<std::string> all;
  std::string word;
  bool in = false;
  auto hex = [](char c) { return c >= 'a' ? c - 'a' + 10 : c - '0'; };
  for (size_t i = 0; i < line.size();) {
    char c = line[i];
    if (c == ' ') {
      if (in)
        all.push_back(word);
      word.clear();
      in = false;
      ++i;
    } else if (c == '#' && !in) {
      break;
    } else if (c == '\'') {
      size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos)
        return std::nullopt;
      word += line.substr(i + 1, end - i - 1);
      in = true;
      i = end + 1;
    } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == '\'') { // as in '\''
      word += '\'';
      in = true;
      i += 2;
    } else if (c == '$' && i + 1 < line.size() && line[i + 1] == '\'') {
      for (i += 2;; ++i) {
        if (i >= line.size())
          return std::nullopt;
        if (line[i] == '\'')
          break;
        if (line[i] != '\\') {
          word += line[i];
        } else if (i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '\'')) {
          word += line[++i];
        } else if (i + 3 < line.size() && line[i + 1] == 'x') {
          word += char(hex(line[i + 2]) * 16 + hex(line[i + 3]));
          i += 3;
        } else {
          return std::nullopt;
        }
      }
      ++i;
      in = true;
    } else if (std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("_./:=+,@%-(){}|;&<>").find(c) != std::string_view::npos) {
      word += c;
      in = true;
      ++i;
    } else {
      return std::nullopt; // ", \, `, $(, *, ?, [, ~, !, a control byte...
    }
  }
  if (in)
    all.push_back(word);
  return all;
}

// Takes the fuzz bytes apart: a byte of choices, then strings separated by NUL.
struct Bytes {
  std::string_view data;
  uint8_t next() {
    if (data.empty())
      return 0;
    uint8_t b = static_cast<uint8_t>(data[0]);
    data.remove_prefix(1);
    return b;
  }
  std::string string() {
    size_t end = std::min(data.find('\0'), data.size());
    std::string s(data.substr(0, end));
    data.remove_prefix(std::min(end + 1, data.size()));
    return s;
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using process::Stream;
  Bytes in{std::string_view(reinterpret_cast<const char *>(data), size)};
  uint8_t choices = in.next(), counts = in.next();
  process::Start start;
  // The program, absolute (as the checker starts it) and in a folder of any name; the runner's
  // words before it, found on no PATH.
  std::string folder = in.string(), name = in.string();
  for (char &c : folder)
    c = c == '/' && (choices & 1) ? '=' : c;
  size_t runnerWords = counts & 3, arguments = (counts >> 2) & 7, entries = counts >> 5;
  for (size_t i = 0; i < runnerWords; ++i)
    start.argv.push_back(in.string());
  start.argv.push_back("/" + folder + "/" + (name.empty() ? "p" : name));
  if (runnerWords)
    std::swap(start.argv[0], start.argv.back());
  for (size_t i = 0; i < arguments; ++i)
    start.argv.push_back(in.string());
  for (size_t i = 0; i < entries; ++i)
    start.environment.push_back(in.string());
  const Stream kinds[] = {Stream::Pipe,    Stream::Closed,       Stream::DevNull,
                          Stream::DevFull, Stream::BrokenPipe,   Stream::Pty,
                          Stream::Socket,  Stream::ClosedSocket, Stream::File,
                          Stream::Fifo,    Stream::Inherited};
  uint8_t streams = in.next();
  start.streams.in = streams & 1 ? Stream::Closed : Stream::DevNull;
  start.streams.out = kinds[(streams >> 1) % 11];
  start.streams.err = kinds[in.next() % 11];
  if (choices & 2)
    start.limits.push_back({RLIMIT_STACK, in.next() * 1000ull});
  if (choices & 4)
    start.limits.push_back({RLIMIT_NOFILE, in.next()});
  if (choices & 8)
    start.ignored.push_back(1 + in.next() % 64);
  if (choices & 16)
    start.blocked.push_back(1 + in.next() % 64);
  start.reader = choices & 32 ? process::Reader::CloseAfter : process::Reader::Fast;
  start.closeAfter = in.next();

  std::string line = command::line(start);
  if (line.empty())
    return 0;
  for (char c : line)
    if (c < 0x20 || c > 0x7e)
      std::abort(); // a raw newline, or any byte a terminal would take for more than text
  auto read = words(line);
  if (!read)
    std::abort();
  // The command's own words, and then those of the start: after "--", the entries given to
  // env, the program, its arguments.
  static const std::set<std::string> own = {
      "(",          "{",           "}",          ")",           "&&",         "|",    "set",
      "-o",         "pipefail;",   "exec",       "-c",          "-a",         "--",   "env",
      "-i",         "ulimit",      "-S",         "-s",          "-n",         "trap", "cd",
      "-P",         "cat",         ":",          "head",        ">&2;",       ":;",   "2>&1",
      "1>&3",       "3>&-",        "3>&1",       "<&-",         "</dev/null", ">&-",  "2>&-",
      ">/dev/null", "2>/dev/null", ">/dev/full", "2>/dev/full", "unlimited",  ""};
  std::vector<std::string> &all = *read;
  size_t at = 0;
  for (; at < all.size() && !(all[at] == "--" && all[at - 1] != "-P"); ++at) {
    const std::string &w = all[at];
    bool number = !w.empty() && w.find_first_not_of("0123456789") == std::string::npos;
    // Data here: the first argument after -a, the folder after cd -P --.
    if (!own.contains(w) && !number && !(at > 0 && all[at - 1] == "-a") &&
        !(at > 2 && all[at - 1] == "--" && all[at - 2] == "-P"))
      std::abort();
  }
  if (at == all.size())
    std::abort();
  std::vector<std::string> given(all.begin() + at + 1, all.end());
  auto ends = [](const std::string &s) { return s.substr(0, s.find('\0')); };
  std::vector<std::string> expected;
  bool env = at >= 2 && all[at - 1] == "-i" && all[at - 2] == "env";
  if (env)
    for (const std::string &entry : start.environment)
      if (ends(entry).find('=') != std::string::npos)
        expected.push_back(ends(entry));
  expected.push_back(""); // the command word, checked below
  for (size_t i = 1; i < start.argv.size(); ++i)
    expected.push_back(ends(start.argv[i]));
  if (given.size() < expected.size())
    std::abort();
  size_t command = expected.size() - start.argv.size();
  expected[command] = given[command];
  // After the start's words, only the command's own: redirections, the readers' pipes.
  for (size_t i = expected.size(); i < given.size(); ++i)
    if (!own.contains(given[i]) && given[i].find_first_not_of("0123456789") != std::string::npos)
      std::abort();
  given.resize(expected.size());
  if (given != expected)
    std::abort();
  return 0;
}
