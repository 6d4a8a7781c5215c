#include "selection.hpp"

#include "cases.hpp"
#include "fatal.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace selection {
namespace {

std::regex compiled(const std::string &option, const std::string &pattern) {
  try {
    return std::regex(pattern, std::regex::ECMAScript | std::regex::optimize);
  } catch (const std::regex_error &error) {
    throw Fatal(option + " " + text::quoted(pattern) +
                " is no regular expression: " + error.what());
  }
}

// A list of every case's name, each on a line of its own, with room for a comment on each.
constexpr size_t maxListBytes = cases::maxCases * (cases::maxName + 256);

} // namespace

Filter::Filter(const std::optional<std::string> &keep, const std::optional<std::string> &drop) {
  if (keep)
    this->keep = compiled("--filter", *keep);
  if (drop)
    this->drop = compiled("--filter-out", *drop);
}

bool Filter::keeps(const std::string &name) const {
  return (!keep || std::regex_search(name, *keep)) && (!drop || !std::regex_search(name, *drop));
}

std::vector<std::string> readNames(const std::filesystem::path &file) {
  std::string shown = text::shown(file.string());
  // Not blocking, so that a FIFO in its place is refused, not waited for.
  int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw Fatal(shown + ": cannot be read: " + std::strerror(errno));
  struct stat status;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  close(fd);
  if (!regular)
    throw Fatal(shown + ": is not a regular file of case names");
  if (size_t(status.st_size) > maxListBytes)
    throw Fatal(shown + ": is larger than any list of case names (" +
                std::to_string(maxListBytes >> 20) + " MiB)");
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> names;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    size_t from = line.find_first_not_of(" \t\r"), to = line.find_last_not_of(" \t\r");
    if (from == std::string::npos || line[from] == '#') // a comment, or blank
      continue;
    std::string name = line.substr(from, to - from + 1);
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c > 0x7e; }))
      throw Fatal(shown + ":" + std::to_string(number) + ": " + text::quoted(name) +
                  " is no case's name: names are printable ASCII");
    names.push_back(name);
  }
  if (in.bad())
    throw Fatal(shown + ": cannot be read");
  return names;
}

void writeNames(const std::filesystem::path &file, const std::vector<std::string> &names,
                const std::string &about) {
  std::string text = "# " + about + "\n";
  for (const std::string &name : names)
    text += name + "\n";
  std::filesystem::path part = file;
  part += ".part";
  std::string shown = text::shown(file.string());
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(part.c_str());
      throw Fatal(shown + ": cannot be written: " + std::strerror(errno));
    }
  }
  if (std::rename(part.c_str(), file.c_str()) != 0) {
    int error = errno;
    std::remove(part.c_str());
    throw Fatal(shown + ": cannot be written: " + std::strerror(error));
  }
}

} // namespace selection
