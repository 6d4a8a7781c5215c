#include "cases.hpp"
#include "text.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace cases {
namespace {

using nlohmann::json;

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string mib(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// A number as the line gave it: -0 is not 0 there.
std::string shownNumber(const json &value) {
  if (value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() == 0)
    return "-0";
  return value.dump();
}

const json &field(const json &object, const char *key, json::value_t type, const char *what) {
  auto it = object.find(key);
  if (it == object.end())
    throw Error(std::string("no \"") + key + "\"");
  if (it->type() != type)
    throw Error(std::string("\"") + key + "\" is " + it->type_name() + "; it is " + what);
  return *it;
}

// Every key of `object` is one of `known`.
void onlyKnown(const json &object, std::initializer_list<const char *> known, const char *where) {
  for (auto it = object.begin(); it != object.end(); ++it)
    if (std::none_of(known.begin(), known.end(), [&](const char *k) { return it.key() == k; }))
      throw Error(std::string(where) + " has an unknown key " + text::quoted(it.key()));
}

// How deep arrays and objects nest in one line of JSON, counted without parsing it, so that no
// deeper value is ever built.
void checkDepth(std::string_view line) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if ((c == '[' || c == '{') && ++depth > maxDepth) {
      throw Error("values nest deeper than " + std::to_string(maxDepth) + " levels");
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// A string's bytes (bytes::decoded).
std::string bytes(const std::string &utf8) {
  std::string raw;
  if (const char *wrong = bytes::decoded(utf8, raw))
    throw Error(wrong);
  return raw;
}

// Bytes are a string, or a list of pieces: each a string, or [string, count] for the string
// repeated count times, kept so. `budget` is what the case may still hold once expanded.
bytes::Bytes data(const json &value, size_t &budget) {
  auto take = [&](size_t size) {
    if (size > budget)
      throw Error("the case holds more than " + mib(maxCaseBytes) + " once repeats are expanded");
    budget -= size;
  };
  if (value.is_string()) {
    bytes::Bytes out(bytes(value.get_ref<const std::string &>()));
    take(out.size());
    return out;
  }
  if (!value.is_array())
    throw Error(std::string("bytes are a string or a list of pieces, not ") + value.type_name());
  bytes::Bytes out;
  for (const json &piece : value) {
    if (piece.is_string()) {
      std::string one = bytes(piece.get_ref<const std::string &>());
      take(one.size());
      out.add(std::move(one));
    } else if (piece.is_array() && piece.size() == 2 && piece[0].is_string() &&
               piece[1].is_number_unsigned()) {
      std::string repeated = bytes(piece[0].get_ref<const std::string &>());
      auto count = piece[1].get<uint64_t>();
      if (repeated.empty())
        continue;
      if (count > budget / repeated.size())
        take(budget + 1);
      take(repeated.size() * count);
      out.add(std::move(repeated), count);
    } else {
      throw Error(std::string("a piece is a string or [string, count], not ") +
                  (piece.is_array() ? "a list of " + std::to_string(piece.size()) + " values"
                                    : piece.type_name()));
    }
  }
  return out;
}

process::Stream stream(const json &object, const char *key,
                       const std::map<std::string, process::Stream> &allowed) {
  std::string names;
  for (const auto &[name, _] : allowed)
    names += (names.empty() ? "\"" : ", \"") + name + "\"";
  std::string value =
      field(object, key, json::value_t::string, ("one of " + names).c_str()).get<std::string>();
  if (auto it = allowed.find(value); it != allowed.end())
    return it->second;
  throw Error(std::string("\"") + key + "\" is " + text::quoted(value) + "; it is one of " + names);
}

// A signal named in a case.
int signalNamed(const json &value, const char *key) {
  std::string name = value.is_string() ? value.get<std::string>() : "";
  if (int number = signalNumber(name))
    return number;
  throw Error(std::string("\"") + key + "\" is " +
              (value.is_string() ? text::quoted(name) : value.type_name()) +
              "; it is a standard signal name such as \"SIGPIPE\"");
}

size_t whole(const json &value, const char *key, uint64_t least, uint64_t most) {
  if (!value.is_number_unsigned() || value.get<uint64_t>() < least || value.get<uint64_t>() > most)
    throw Error(std::string("\"") + key + "\" is " +
                (value.is_number() ? shownNumber(value) : value.type_name()) +
                "; it is a whole number from " + std::to_string(least) + " to " +
                std::to_string(most));
  return value.get<size_t>();
}

// Bytes that a process takes as a string of its own (an argument, an environment entry): the
// kernel takes at most 128 KiB with the NUL.
bytes::Bytes oneString(const json &value, size_t &budget, const std::string &what) {
  if (budget < perString)
    throw Error("the case holds more than " + mib(maxCaseBytes) + " once repeats are expanded");
  budget -= perString;
  bytes::Bytes out = data(value, budget);
  if (out.size() > maxArgument)
    throw Error(what + " holds " + std::to_string(out.size()) +
                " bytes; the kernel takes at most " + std::to_string(maxArgument));
  return out;
}

// The limits a case may set, by their names in the file.
const std::pair<const char *, int> limitKinds[] = {
    {"stack", RLIMIT_STACK}, {"nofile", RLIMIT_NOFILE}, {"core", RLIMIT_CORE},
    {"as", RLIMIT_AS},       {"data", RLIMIT_DATA},     {"fsize", RLIMIT_FSIZE}};

void limits(const json &object, process::Start &start) {
  if (!object.is_object())
    throw Error(std::string("\"limits\" is ") + object.type_name() + "; it is an object");
  onlyKnown(object, {"stack", "nofile", "core", "as", "data", "fsize"}, "\"limits\"");
  for (auto [key, resource] : limitKinds) {
    if (!object.contains(key))
      continue;
    const json &value = object[key];
    process::Limit limit{resource, RLIM_INFINITY};
    bool unlimited = value.is_string() && value.get<std::string>() == "unlimited";
    // No kernel takes more descriptors than its nr_open, at most maxDescriptors.
    if (unlimited && resource == RLIMIT_NOFILE)
      throw Error("\"nofile\" is \"unlimited\", which no process can be given: it is a whole "
                  "number from 1 to " +
                  std::to_string(maxDescriptors) + ", or \"hard\"");
    if (value.is_string() && value.get<std::string>() == "hard")
      limit.toHard = true;
    else if (!unlimited)
      limit.soft = whole(value, key, resource == RLIMIT_STACK || resource == RLIMIT_NOFILE,
                         resource == RLIMIT_NOFILE ? maxDescriptors : uint64_t(1) << 40);
    start.limits.push_back(limit);
  }
}

void signals(const json &object, process::Start &start) {
  if (!object.is_object())
    throw Error(std::string("\"signals\" is ") + object.type_name() + "; it is an object");
  onlyKnown(object, {"ignored", "blocked"}, "\"signals\"");
  for (auto [key, into] : {std::pair{"ignored", &start.ignored}, {"blocked", &start.blocked}}) {
    if (!object.contains(key))
      continue;
    for (const json &name : field(object, key, json::value_t::array, "a list of signal names")) {
      int number = signalNamed(name, key);
      if (number == SIGKILL || number == SIGSTOP)
        throw Error(std::string("\"") + key + "\" names " + name.get<std::string>() +
                    ", which no process can ignore or block");
      into->push_back(number);
    }
  }
}

// Builds the value of one line as the library's own parser does, in one pass and in linear time,
// while it refuses a key that an object holds twice (the library would keep the last) and stops
// as soon as the line holds more values than a case can: each value counts as an argument's
// worth, so that no more memory is taken than a case may have.
class Builder {
public:
  explicit Builder(json &into) : dom(into, true) {}
  bool null() { return counted(0) && dom.null(); }
  bool boolean(bool value) { return counted(0) && dom.boolean(value); }
  bool number_integer(json::number_integer_t value) {
    return counted(0) && dom.number_integer(value);
  }
  bool number_unsigned(json::number_unsigned_t value) {
    return counted(0) && dom.number_unsigned(value);
  }
  bool number_float(json::number_float_t value, const std::string &text) {
    return counted(0) && dom.number_float(value, text);
  }
  bool string(std::string &value) { return counted(value.size()) && dom.string(value); }
  bool binary(json::binary_t &value) { return counted(value.size()) && dom.binary(value); }
  bool start_object(size_t size) {
    keys.emplace_back();
    return counted(0) && dom.start_object(size);
  }
  bool key(std::string &key) {
    if (!keys.back().insert(key).second)
      throw Error("the key " + text::quoted(key) + " is there twice");
    return counted(key.size()) && dom.key(key);
  }
  bool end_object() {
    keys.pop_back();
    return dom.end_object();
  }
  bool start_array(size_t size) { return counted(0) && dom.start_array(size); }
  bool end_array() { return dom.end_array(); }
  template <class Exception>
  bool parse_error(size_t at, const std::string &token, const Exception &error) {
    return dom.parse_error(at, token, error);
  }

private:
  bool counted(size_t bytes) {
    if ((held += perString + bytes) > maxCaseBytes)
      throw Error("the line holds more values than a case can (" + mib(maxCaseBytes) +
                  ", each value counted as " + std::to_string(perString) + " bytes and its own)");
    return true;
  }
  nlohmann::detail::json_sax_dom_parser<json> dom;
  std::vector<std::set<std::string>> keys;
  size_t held = 0;
};

Case parse(const std::string &line) {
  using process::Stream;
  checkDepth(line);
  json object;
  Builder builder(object);
  json::sax_parse(line, &builder);
  if (!object.is_object())
    throw Error("a case is a JSON object");
  onlyKnown(object,
            {"name", "program", "args", "argv0", "started_as", "env", "limits", "signals", "send",
             "reader", "repeat", "conditions", "stdin", "stdout", "stdout_pipe_size", "stderr",
             "start_within", "expect"},
            "a case");
  Case c;
  size_t budget = maxCaseBytes;
  c.name = field(object, "name", json::value_t::string, "a string").get<std::string>();
  if (c.name.empty() || std::any_of(c.name.begin(), c.name.end(),
                                    [](unsigned char byte) { return byte < 0x20 || byte > 0x7e; }))
    throw Error("\"name\" is " + text::quoted(c.name) + "; a name is printable ASCII, not empty");
  // What a TAP reader would not give back as it stands, or a list of names would not hold.
  if (c.name.front() == ' ' || c.name.back() == ' ' || c.name.back() == '{' ||
      c.name.size() > maxName)
    throw Error("\"name\" is " + text::quoted(c.name.substr(0, 80)) +
                "; a name has no space at its start or end, no '{' at its end, and at most " +
                std::to_string(maxName) + " bytes");
  if (c.name.starts_with(randomNames))
    throw Error("\"name\" is " + text::quoted(c.name.substr(0, 80)) + "; names that start with " +
                randomNames + " are those of --random's cases");
  c.program = field(object, "program", json::value_t::string, "a string").get<std::string>();
  if (std::find(std::begin(programs), std::end(programs), c.program) == std::end(programs))
    throw Error("\"program\" is " + text::quoted(c.program) +
                "; it is print-args, print-sentence or exit-zero");
  for (const json &arg : field(object, "args", json::value_t::array, "a list")) {
    std::string what = "argument " + std::to_string(c.args.size() + 1);
    if (!arg.is_object()) {
      c.args.add(oneString(arg, budget, what));
      continue;
    }
    // {"argument": BYTES, "count": N}: N equal arguments in a row, each costing what one does.
    onlyKnown(arg, {"argument", "count"}, what.c_str());
    if (!arg.contains("argument"))
      throw Error(what + " is a run of equal arguments without \"argument\"");
    const json &count =
        field(arg, "count", json::value_t::number_unsigned, "a number of arguments from 1");
    auto n = count.get<uint64_t>();
    if (n == 0)
      throw Error(what + " is a run of 0 arguments; \"count\" is at least 1");
    bytes::Bytes one = oneString(arg["argument"], budget, what);
    uint64_t each = one.size() + perString;
    if (n - 1 > budget / each)
      throw Error("the case holds more than " + mib(maxCaseBytes) + " once repeats are expanded");
    budget -= (n - 1) * each;
    c.args.add(std::move(one), n);
  }
  if (object.contains("argv0")) {
    if (object["argv0"].is_null())
      c.noVector = true;
    else
      c.argv0 = oneString(object["argv0"], budget, "argv0").expanded();
    if (c.noVector && !c.args.empty())
      throw Error("\"argv0\" is null, an empty argument vector, which leaves no room for \"args\"");
  }
  if (object.contains("started_as")) {
    const json &as = object["started_as"];
    std::string how = as.is_string() ? as.get<std::string>() : "";
    if (how != "link" && how != "exec-only")
      throw Error("\"started_as\" is " +
                  (as.is_string() ? text::quoted(how.substr(0, 80)) : std::string(as.type_name())) +
                  "; it is \"link\" or \"exec-only\"");
    c.startedAs = how == "link" ? Case::StartedAs::Link : Case::StartedAs::ExecOnly;
  }
  process::Start &start = c.start;
  if (object.contains("env"))
    for (const json &entry : field(object, "env", json::value_t::array, "a list"))
      start.environment.push_back(
          oneString(entry, budget,
                    "environment entry " + std::to_string(start.environment.size() + 1))
              .expanded());
  if (object.contains("limits"))
    limits(object["limits"], start);
  // Every case starts with a stack limit, its own or the usual one, so that no result depends on
  // the caller's: the kernel gives the arguments and environment a quarter of it.
  if (std::none_of(start.limits.begin(), start.limits.end(),
                   [](const process::Limit &limit) { return limit.resource == RLIMIT_STACK; }))
    start.limits.push_back({RLIMIT_STACK, defaultStack});
  if (object.contains("signals"))
    signals(object["signals"], start);
  if (object.contains("repeat"))
    c.repeat = unsigned(whole(object["repeat"], "repeat", 1, maxRepeat));

  start.streams.in = stream(object, "stdin", inputStreams);
  start.streams.out = stream(object, "stdout", outputStreams);
  start.streams.err = stream(object, "stderr", outputStreams);
  if (object.contains("conditions")) {
    const std::pair<const char *, bool process::Start::*> conditions[] = {
        {"no new privileges", &process::Start::noNewPrivileges},
        {"ptrace denied", &process::Start::ptraceDenied},
        {"working folder deleted", &process::Start::folderDeleted},
        {"descriptor 3 a pipe", &process::Start::passesPipe},
        {"/proc hidden", &process::Start::procHidden},
        {"one process at most", &process::Start::oneProcess}};
    for (const json &given : field(object, "conditions", json::value_t::array, "a list")) {
      auto known = std::find_if(std::begin(conditions), std::end(conditions), [&](auto &k) {
        return given.is_string() && given.get<std::string>() == k.first;
      });
      if (known == std::end(conditions))
        throw Error("\"conditions\" holds " +
                    (given.is_string() ? text::quoted(given.get<std::string>().substr(0, 80))
                                       : std::string(given.type_name())) +
                    "; each is \"no new privileges\", \"ptrace denied\", \"working folder "
                    "deleted\", \"descriptor 3 a pipe\", \"/proc hidden\" or \"one process at "
                    "most\"");
      start.*(known->second) = true;
    }
  }
  if (object.contains("send")) {
    const json &send = field(object, "send", json::value_t::object, "an object");
    onlyKnown(send, {"signal", "to"}, "\"send\"");
    start.send = signalNamed(send.contains("signal") ? send["signal"] : json(), "signal");
    std::string to =
        field(send, "to", json::value_t::string, "\"process\" or \"group\"").get<std::string>();
    if (to != "process" && to != "group")
      throw Error("\"to\" is " + text::quoted(to) + "; it is \"process\" or \"group\"");
    start.sendToGroup = to == "group";
  }
  if (object.contains("reader")) {
    const json &reader = object["reader"];
    if (reader.is_string() && reader.get<std::string>() == "slow") {
      start.reader = process::Reader::Slow;
    } else if (reader.is_object() && reader.size() == 1 && reader.contains("close_after")) {
      start.reader = process::Reader::CloseAfter;
      start.closeAfter = whole(reader["close_after"], "close_after", 1, maxCaseBytes);
    } else {
      throw Error("\"reader\" is \"slow\" or {\"close_after\": a number of bytes}");
    }
  }
  if (object.contains("start_within")) {
    const json &within = object["start_within"];
    if (!within.is_number() || !(within.get<double>() >= 0.001 && within.get<double>() <= 3600))
      throw Error("\"start_within\" is " +
                  (within.is_number() ? shownNumber(within) : within.type_name()) +
                  "; it is the most seconds the case may take, from 0.001 to 3600");
    c.startWithin = within.get<double>();
  }
  if (object.contains("stdout_pipe_size"))
    start.pipeSize = whole(object["stdout_pipe_size"], "stdout_pipe_size", 4096, 1 << 20);
  if ((start.send || start.reader != process::Reader::Fast || start.pipeSize) &&
      start.streams.out != Stream::Pipe)
    throw Error("\"send\", \"reader\" and \"stdout_pipe_size\" go with a \"stdout\" that is "
                "\"pipe\"");

  const json &expect = field(object, "expect", json::value_t::object, "an object");
  onlyKnown(expect, {"stdout", "stdout_prefix", "stderr", "exit", "signal"}, "\"expect\"");
  bool outRead = process::readBack(start.streams.out),
       errRead = process::readBack(start.streams.err);
  if (expect.contains("stdout") && expect.contains("stdout_prefix"))
    throw Error("\"expect\" has \"stdout\" or \"stdout_prefix\", not both");
  c.outPrefix = expect.contains("stdout_prefix");
  const char *outKey = c.outPrefix ? "stdout_prefix" : "stdout";
  for (auto [key, stream, read, into] : {std::tuple{outKey, "stdout", outRead, &c.out},
                                         std::tuple{"stderr", "stderr", errRead, &c.err}}) {
    if (read != expect.contains(key))
      throw Error(std::string("\"expect\" has \"") + key + "\" exactly when " + stream +
                  " is read back (a pipe, pty, socket, file or fifo)");
    if (read)
      *into = data(expect[key], budget);
  }
  // A file opened for appending holds what it held before, then the output.
  if (start.streams.out == Stream::AppendFile)
    c.out.prepend(std::string(process::appendedTo));
  if (expect.contains("exit") == expect.contains("signal"))
    throw Error("\"expect\" has either \"exit\" or \"signal\"");
  if (expect.contains("exit")) {
    const json &status = expect["exit"];
    if (!status.is_number_unsigned() || status.get<uint64_t>() > 255)
      throw Error("\"exit\" is " + (status.is_number() ? shownNumber(status) : status.type_name()) +
                  "; it is a whole number from 0 to 255");
    c.ending = process::Ending::exited(status.get<int>());
  } else {
    c.ending = process::Ending::signaled(signalNamed(expect["signal"], "signal"));
  }
  // Where the signal sent must end the program, nothing more is read until it has ended, for
  // seconds at most, so that a runner that passes it on late is not failed by chance; where the
  // program ignores it, a while, so that a runner that does not ignore it is seen.
  using std::chrono::milliseconds;
  if (start.send)
    start.holdAfterSend =
        c.ending.kind == process::Ending::Kind::Signaled ? milliseconds(2000) : milliseconds(20);
  return c;
}

} // namespace

std::string linkName(const std::string &program) { return "link to \xc3\xa9 " + program; }

std::string limitName(int resource) {
  for (auto [name, kind] : limitKinds)
    if (kind == resource)
      return name;
  return std::to_string(resource);
}

int signalNumber(const std::string &name) {
  const std::pair<const char *, int> aliases[] = {
      {"IOT", SIGIOT}, {"POLL", SIGPOLL}, {"IO", SIGIO}, {"CLD", SIGCHLD}};
  if (!name.starts_with("SIG"))
    return 0;
  std::string bare = name.substr(3);
  for (int number = 1; number < SIGRTMIN; ++number) {
    const char *abbreviation = sigabbrev_np(number);
    bool alias = std::any_of(std::begin(aliases), std::end(aliases),
                             [&](const auto &a) { return bare == a.first && a.second == number; });
    if (abbreviation && (bare == abbreviation || alias))
      return number;
  }
  return 0;
}

namespace {

// Takes the file's lines one at a time, so that no more than one line is ever held unparsed.
class Reader {
public:
  explicit Reader(const std::string &file) : file(file) {}

  void line(std::string_view text) {
    ++number;
    if (number == 1 && text.starts_with("\xef\xbb\xbf"))
      text.remove_prefix(3);
    else if (text.starts_with("\xef\xbb\xbf"))
      fail("a byte-order mark stands only at the start of the file");
    if (text.size() > maxLine)
      fail("the line is longer than " + mib(maxLine));
    if (text.find_first_not_of(" \t\r") == std::string::npos)
      return;
    try {
      Case c = parse(std::string(text));
      c.line = number;
      if (all.size() == maxCases)
        fail("the file holds more than " + std::to_string(maxCases) + " cases");
      // What keeping it takes: its bytes, and each string's own share.
      size_t size = c.out.size() + c.err.size() + c.name.size() + perString;
      for (const auto &[one, count] : c.args.all())
        size += (one.size() + perString) * count;
      for (const std::string &one : c.start.environment)
        size += one.size() + perString;
      if ((total += size) > maxTotalBytes)
        throw Error("the cases hold more than " + mib(maxTotalBytes) +
                    " once repeats are expanded");
      if (!names.insert(c.name).second)
        throw Error("a case named " + text::quoted(c.name) + " is already there");
      all.push_back(std::move(c));
    } catch (const json::parse_error &error) { // "[json.exception.parse_error.101] parse
      std::string what = error.what();         // error at line 1, column 5: ..."
      what = what.substr(what.find("] ") + 2);
      if (auto at = what.find("line 1, "); at != std::string::npos)
        what.erase(at, 8);
      fail(what);
    } catch (const json::exception &error) { // "[json.exception.out_of_range.406] number
      std::string what = error.what();       // overflow parsing '1E400'"
      fail(what.substr(what.find("] ") + 2));
    } catch (const Error &error) {
      fail(error.what());
    }
  }

  std::vector<Case> finish() {
    if (all.empty())
      throw Malformed(file + ": holds no cases");
    return std::move(all);
  }

  int lines() const { return number; }

  [[noreturn]] void fail(const std::string &what) {
    throw Malformed(file + ":" + std::to_string(number) + ": " + what);
  }

private:
  std::string file;
  int number = 0;
  size_t total = 0;
  std::vector<Case> all;
  std::set<std::string> names;
};

} // namespace

std::vector<Case> parse(std::string_view text, const std::string &file) {
  Reader reader(file);
  while (!text.empty()) {
    size_t end = std::min(text.find('\n'), text.size());
    reader.line(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return reader.finish();
}

std::vector<Case> read(const std::string &path, std::chrono::milliseconds timeout) {
  // Not blocking, so that a FIFO with no writer is waited for only as long as `timeout`.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw Malformed(path + ": cannot be read: " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode))
    throw Malformed(path + ": is a folder, not a cases file");
  auto deadline = std::chrono::steady_clock::now() + timeout;
  Reader reader(path);
  std::string pending;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd polled = {fd, POLLIN, 0};
    int ready = poll(&polled, 1, int(std::max<long>(0, left.count())));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready == 0)
      throw Malformed(
          path + ": cannot be read: " +
          (reader.lines() || !pending.empty()
               ? "it was still open after " + std::to_string(reader.lines()) + " lines and " +
                     std::to_string(timeout.count() / 1000) + " s"
               : "nothing came within " + std::to_string(timeout.count() / 1000) + " s"));
    if (left.count() <= 0) // a file that is always ready, but too large to read in time
      throw Malformed(path + ": cannot be read within " + std::to_string(timeout.count() / 1000) +
                      " s: " + std::to_string(reader.lines()) + " lines were read");
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n < 0)
      throw Malformed(path + ": cannot be read: " + std::strerror(errno));
    if (n == 0)
      break;
    size_t start = 0, scanned = pending.size(); // what is pending holds no line break
    pending.append(buffer.data(), size_t(n));
    for (size_t end; (end = pending.find('\n', scanned)) != std::string::npos;
         start = scanned = end + 1)
      reader.line(std::string_view(pending).substr(start, end - start));
    pending.erase(0, start);
    if (pending.size() > maxLine)
      reader.line(pending); // says which line is too long
  }
  if (!pending.empty())
    reader.line(pending);
  return reader.finish();
}

} // namespace cases
