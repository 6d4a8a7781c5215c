#include "command.hpp"

#include "text.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

namespace command {

std::string bashWord(const std::string &word) {
  if (text::plain(word))
    return word;
  auto printable = [](unsigned char c) { return c >= 0x20 && c < 0x7f; };
  if (std::all_of(word.begin(), word.end(), printable)) {
    std::string out = "'";
    for (char c : word)
      out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  const char hex[] = "0123456789abcdef";
  std::string out = "$'";
  for (unsigned char c : word)
    if (c == '\\' || c == '\'')
      out += {'\\', char(c)};
    else if (printable(c))
      out += char(c);
    else
      out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
  return out + "'";
}

namespace {

using process::Stream;

// What execve was given: a string ends at its first NUL byte.
std::string asPassed(const std::string &word) { return word.substr(0, word.find('\0')); }

std::string nameOf(const std::string &entry) { return entry.substr(0, entry.find('=')); }

// Adds one clause to the comment, or to any text, piece by piece.
void note(std::string &to, std::initializer_list<std::string_view> pieces,
          const char *before = "; ") {
  to += before;
  for (std::string_view piece : pieces)
    to += piece;
}

// The words of one ulimit, and what of the limit it cannot give.
std::string ulimit(const process::Limit &limit, std::string &comment) {
  // bash's option for each limit, and the unit it takes it in.
  const struct {
    int resource;
    const char *name, *option;
    unsigned long long unit;
  } kinds[] = {{RLIMIT_STACK, "stack", "-s", 1024}, {RLIMIT_NOFILE, "descriptor", "-n", 1},
               {RLIMIT_CORE, "core", "-c", 1024},   {RLIMIT_AS, "address space", "-v", 1024},
               {RLIMIT_DATA, "data", "-d", 1024},   {RLIMIT_FSIZE, "file size", "-f", 1024}};
  auto kind = std::find_if(std::begin(kinds), std::end(kinds),
                           [&](const auto &k) { return k.resource == limit.resource; });
  if (kind == std::end(kinds)) {
    note(comment, {"it also starts with limit ", std::to_string(limit.resource), " at ",
                   std::to_string(limit.soft), ", which is not given here"});
    return ":";
  }
  std::string words = "ulimit -S ";
  words += kind->option;
  words += ' ';
  if (limit.toHard)
    return words + "hard";
  if (limit.soft == RLIM_INFINITY)
    return words + "unlimited";
  unsigned long long units = (limit.soft + kind->unit - 1) / kind->unit;
  if (limit.soft % kind->unit)
    note(comment, {"its ", kind->name, " limit is ", std::to_string(limit.soft),
                   " bytes, which ulimit gives in whole KiB only: here ",
                   std::to_string(units * kind->unit), " bytes"});
  return words + std::to_string(units);
}

// How the command, in a subshell, becomes what the case started: its limits, ignored signals,
// environment and argument vector. No byte from the case is read but as a quoted word.
std::string started(const process::Start &start, std::string &comment) {
  std::vector<std::string> setup;
  for (const process::Limit &limit : start.limits)
    setup.push_back(ulimit(limit, comment));
  if (!start.ignored.empty()) {
    // By number: bash knows some signals by other names than the C library (IO, not POLL).
    std::string trap = "trap ''";
    for (int signal : start.ignored)
      trap += " " + std::to_string(signal);
    setup.push_back(trap);
  }

  std::vector<std::string> entries;
  std::map<std::string, int> names;
  for (const auto &given : start.environment) {
    std::string entry = asPassed(given);
    if (entry.find('=') == std::string::npos) {
      note(comment,
           {"its environment also holds ", command::bashWord(entry), ", which env cannot give"});
      continue;
    }
    entries.push_back(entry);
    if (++names[nameOf(entry)] == 2)
      note(comment, {"its environment holds ", command::bashWord(nameOf(entry)),
                     " more than once, and env gives only the last"});
  }

  std::string argv0 = start.argv.empty() ? start.path : asPassed(start.argv[0]);
  if (start.argv.empty())
    note(comment, {"the case starts it with an empty argument vector, which no shell can: here "
                   "argv[0] is its path"});
  // Found as run() finds it, through this process's PATH, which env -i would not have.
  std::string path = start.path.empty() ? process::located(argv0) : start.path;
  if (!start.linkName.empty() && start.execOnly) {
    // The copy that may only be executed, in a folder of its own as the case has.
    setup.insert(setup.begin(), "cd -- \"$(mktemp -d)\" && cp -- " +
                                    command::bashWord(start.linkTo) + " " +
                                    command::bashWord(start.linkName) + " && chmod 0111 " +
                                    command::bashWord(start.linkName));
    note(comment, {"root reads the copy all the same: the checker starts it without capabilities, "
                   "which this command does not; run it as another user"});
  } else if (!start.linkName.empty()) {
    // The link, in a folder of its own as the case has.
    setup.insert(setup.begin(), "cd -- \"$(mktemp -d)\" && ln -s -- " +
                                    command::bashWord(start.linkTo) + " " +
                                    command::bashWord(start.linkName));
  }
  if (path.empty()) {
    note(comment, {"the checker found no ", command::bashWord(argv0), " to start"});
    path = argv0;
  }
  std::string arguments;
  for (size_t i = 1; i < start.argv.size(); ++i) {
    arguments += ' ';
    arguments += command::bashWord(asPassed(start.argv[i]));
  }

  std::string exec;
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (entries.empty() || name.find('=') != std::string::npos) {
    // bash's exec -c gives an empty environment, and -a the argument vector's first word.
    if (!entries.empty()) {
      note(comment, {"its environment is not given here, as env would take the '=' in ",
                     command::bashWord(path), " for an entry: it holds"});
      for (const auto &entry : entries)
        comment += " " + command::bashWord(entry);
    }
    exec = "exec -c";
    if (argv0 != path)
      note(exec, {command::bashWord(argv0)}, " -a ");
    note(exec, {command::bashWord(path), arguments}, " -- ");
  } else {
    // env takes every word before the command that holds '=' for an entry, whatever follows
    // "--": where the command's folder holds one, it is started from there as ./NAME.
    exec = "exec env -i --";
    for (const auto &entry : entries)
      exec += " " + command::bashWord(entry);
    std::string word = path;
    if (path.find('=') != std::string::npos) {
      std::string cd;
      note(cd, {command::bashWord(path.substr(0, std::max<size_t>(slash, 1)))}, "cd -P -- ");
      setup.insert(setup.begin(), cd);
      word = "./";
      word += name;
      comment += "; it is started from its folder, whose name env would take for an entry";
    }
    exec += " " + command::bashWord(word) + arguments;
    if (argv0 != word)
      note(comment, {"its first argument is ", command::bashWord(word),
                     " here, where the case gives ", command::bashWord(argv0)});
  }
  std::string line = "( ";
  for (const auto &step : setup)
    line += step + " && ";
  return line + exec + " )";
}

// What reads the stream where it is a pipe here ("" where it is not), and what this says of the
// case's stream.
std::string reader(Stream stream, const process::Start &start, bool out, std::string &comment) {
  const char *name = out ? "standard output" : "standard error";
  switch (stream) {
  case Stream::BrokenPipe:
  case Stream::ClosedSocket:
    note(comment,
         {name, " a ", stream == Stream::BrokenPipe ? "pipe whose reader" : "socket whose peer",
          " has gone: here a pipe whose reader may still be there when it writes"});
    return ":";
  case Stream::Pipe:
  case Stream::Pty:
  case Stream::Socket:
  case Stream::File:
  case Stream::Fifo:
  case Stream::AppendFile:
    break;
  default:
    return "";
  }
  if (stream == Stream::Pty) {
    note(comment, {name, " a terminal: this one"});
    return "";
  }
  std::string sink;
  if (!out)
    note(sink, {}, "cat >&2");
  else if (start.reader == process::Reader::CloseAfter)
    note(sink, {std::to_string(start.closeAfter)}, "head -c ");
  else
    note(sink, {}, "cat");
  if (out && start.reader == process::Reader::Slow)
    note(comment, {"the case reads standard output slowly, a pipe's worth at a time: here as "
                   "fast as it is written"});
  if (stream != Stream::Pipe)
    note(comment, {name, " is a pipe here, where the case has a ",
                   stream == Stream::File         ? "regular file"
                   : stream == Stream::AppendFile ? "regular file opened for appending"
                   : stream == Stream::Fifo       ? "FIFO"
                                                  : "socket"});
  return sink;
}

std::string redirected(Stream stream, const char *fd) {
  switch (stream) {
  case Stream::Closed:
    return std::string(" ") + fd + ">&-";
  case Stream::DevNull:
    return std::string(" ") + fd + ">/dev/null";
  case Stream::DevFull:
    return std::string(" ") + fd + ">/dev/full";
  default:
    return "";
  }
}

} // namespace

std::string noted(const std::string &line, const std::string &more) {
  return line + (line.find("  # ") == std::string::npos ? "  # " : "; ") + more;
}

std::string line(const process::Start &start, size_t most) {
  if (start.argv.empty() && start.path.empty())
    return "";
  // No word is shorter quoted than it is: a start whose words alone are longer than `most` is
  // refused before any of it is copied.
  size_t words = 0;
  for (const auto *list : {&start.argv, &start.environment})
    for (const std::string &word : *list)
      words += word.size() + 1;
  if (words > most)
    return "";
  std::string comment;
  std::string line = started(start, comment);
  line += start.streams.in == Stream::Closed      ? " <&-"
          : start.streams.in == Stream::Inherited ? ""
                                                  : " </dev/null";
  std::string outSink = reader(start.streams.out, start, true, comment);
  std::string errSink = reader(start.streams.err, start, false, comment);
  bool outPiped = !outSink.empty(), errPiped = !errSink.empty();
  if (errPiped) // standard error into a pipe of its own, standard output through descriptor 3
    line = "{ " + line + " 2>&1 1>&3 3>&-" + redirected(start.streams.out, "") + " | " + errSink +
           "; } 3>&1";
  else
    line += redirected(start.streams.err, "2") + redirected(start.streams.out, "");
  if (outPiped)
    line += " | " + outSink;
  // The command's status is the program's, not that of what reads its streams.
  if (outPiped || errPiped)
    line = "( set -o pipefail; " + line + " )";
  for (int signal : start.blocked)
    note(comment, {"the case also starts it with ", process::signalName(signal),
                   " blocked, which no shell can do"});
  if (start.send)
    note(comment, {"the case also sends it ", process::signalName(start.send),
                   " once standard output is full"});
  if (start.pipeSize)
    note(comment,
         {"the case's standard output is a pipe of ", std::to_string(start.pipeSize), " bytes"});
  if (start.streams.in == Stream::PipeWithData)
    note(comment, {"the case's standard input is a pipe holding bytes the program never reads: "
                   "here /dev/null"});
  const std::pair<bool, const char *> conditions[] = {
      {start.noNewPrivileges, "with no new privileges"},
      {start.ptraceDenied, "with ptrace denied by a seccomp filter"},
      {start.folderDeleted, "in a working folder deleted before it starts"},
      {start.passesPipe, "with a pipe's writing end as descriptor 3"},
      {start.procHidden, "with an empty /proc in a mount namespace of its own"},
      {start.oneProcess, "with one process at most (a pids cgroup, or RLIMIT_NPROC)"}};
  for (auto [given, what] : conditions)
    if (given)
      note(comment, {"the case also starts it ", what});
  if (!comment.empty())
    line += "  # " + comment.substr(2);
  return line.size() > most ? "" : line;
}

} // namespace command
