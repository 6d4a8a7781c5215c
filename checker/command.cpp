#include "command.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>

namespace command {

std::string quoted(const std::string &word) {
  auto plain = [](unsigned char c) { return std::isalnum(c) || std::strchr("_./:=+,@%-", c); };
  if (!word.empty() && std::all_of(word.begin(), word.end(), plain))
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

std::string line(const process::Start &start, size_t most) {
  using process::Stream;
  std::string setup, comment, words = "env -i";
  for (const auto &entry : start.environment)
    if (entry.find('=') == std::string::npos)
      comment += "; its environment also holds " + quoted(entry) + ", which env cannot give";
    else
      words += " " + quoted(entry);
  for (const auto &word : start.argv)
    words += " " + quoted(word);
  for (const process::Limit &limit : start.limits) {
    std::string value = limit.soft == RLIM_INFINITY ? "unlimited"
                        : limit.resource == RLIMIT_STACK
                            ? std::to_string((limit.soft + 1023) / 1024)
                            : std::to_string(limit.soft);
    setup +=
        std::string("ulimit -S ") + (limit.resource == RLIMIT_STACK ? "-s " : "-n ") + value + "; ";
  }
  if (!start.ignored.empty()) {
    setup += "trap ''";
    for (int signal : start.ignored)
      setup += " " + process::signalName(signal).substr(3);
    setup += "; ";
  }
  for (int signal : start.blocked)
    comment += "; the case also starts it with " + process::signalName(signal) +
               " blocked, which no shell can do";
  std::string line = setup.empty() ? words : "( " + setup + "exec " + words + " )";
  switch (start.streams.in) {
  case Stream::Closed:
    line += " <&-";
    break;
  case Stream::Inherited:
    break;
  default:
    line += " </dev/null";
  }
  // Standard error before the pipe of standard output, which takes the whole command.
  const std::pair<Stream, const char *> outputs[] = {{start.streams.err, "2"},
                                                     {start.streams.out, ""}};
  std::string piped;
  for (const auto &[stream, fd] : outputs) {
    bool err = *fd == '2';
    switch (stream) {
    case Stream::Inherited:
      break;
    case Stream::Closed:
      line += std::string(" ") + fd + ">&-";
      break;
    case Stream::DevNull:
      line += std::string(" ") + fd + ">/dev/null";
      break;
    case Stream::DevFull:
      line += std::string(" ") + fd + ">/dev/full";
      break;
    case Stream::Pty:
      comment +=
          err ? "; standard error a terminal: this one" : "; standard output a terminal: this one";
      break;
    case Stream::BrokenPipe:
      if (err)
        line += " 2> >(:)";
      else
        piped = " | :";
      comment += std::string("; ") + (err ? "standard error" : "standard output") +
                 " a pipe whose reader has gone: here the reader may still be there when it writes";
      break;
    default: // a pipe, or what reads back the same bytes
      if (err)
        line += " 2> >(cat >&2)";
      else
        piped = " | cat";
      if (stream != Stream::Pipe)
        comment += std::string("; ") + (err ? "standard error" : "standard output") +
                   " is a pipe here, where the case has a " +
                   (stream == Stream::Pty    ? "terminal"
                    : stream == Stream::File ? "regular file"
                    : stream == Stream::Fifo ? "FIFO"
                                             : "socket");
    }
  }
  line += piped;
  if (start.send)
    comment += "; the case also sends it " + process::signalName(start.send) +
               " once standard output is full";
  if (!comment.empty())
    line += "  # " + comment.substr(2);
  return line.size() > most ? "" : line;
}

} // namespace command
