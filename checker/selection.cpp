#include "selection.hpp"

#include "cases.hpp"
#include "fatal.hpp"
#include "text.hpp"

#include <re2/re2.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace selection {
namespace {

// What RE2 may take to compile one filter (its default): past it, the pattern is refused.
constexpr int64_t maxPatternMemory = 8 << 20;

std::unique_ptr<re2::RE2> compiled(const std::string &option, const std::string &pattern) {
  if (pattern.size() > maxPattern)
    throw Fatal(option + " " + excerpt(pattern) + " is longer than " + std::to_string(maxPattern) +
                " bytes: give a shorter regular expression");
  re2::RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(maxPatternMemory);
  auto regex = std::make_unique<re2::RE2>(pattern, options);
  if (!regex->ok())
    throw Fatal(option + " " + excerpt(pattern) +
                " is no regular expression (RE2's syntax): " + regex->error().substr(0, 160));
  return regex;
}

// A list of every case's name, each on a line of its own, with room for a comment on each.
constexpr size_t maxListBytes = cases::maxCases * (cases::maxName + 256);

// What a file is, in words, where it is not a regular file.
const char *kind(mode_t mode) {
  return S_ISLNK(mode)                    ? "a symbolic link"
         : S_ISDIR(mode)                  ? "a folder"
         : S_ISFIFO(mode)                 ? "a FIFO"
         : S_ISSOCK(mode)                 ? "a socket"
         : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                          : "not a regular file";
}

// Throws unless `file` is absent, or a regular file that is not `cases`. Nothing is opened: a
// FIFO or a device is never waited for, a link never followed.
void checkTarget(const std::filesystem::path &file, const std::filesystem::path &cases,
                 const std::string &option) {
  std::string shown = option + " " + text::shown(file.string());
  struct stat status;
  if (lstat(file.c_str(), &status) != 0) {
    if (errno == ENOENT)
      return;
    throw Fatal(shown + ": cannot be written: " + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode))
    throw Fatal(shown + " is " + kind(status.st_mode) +
                ": it writes over a regular file only, or makes a new one; give another path");
  struct stat read;
  if (!cases.empty() && stat(cases.c_str(), &read) == 0 && read.st_dev == status.st_dev &&
      read.st_ino == status.st_ino)
    throw Fatal(shown + " is the cases file: give another path for what it writes");
}

// A new file beside `file`, of a name no file had (O_CREAT | O_EXCL, which follows no link);
// its name in `name`. `option` is what names the file.
int temporary(const std::filesystem::path &file, std::string &name, const std::string &option) {
  name = file.string() + ".XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0)
    throw Fatal(option + " " + text::shown(file.string()) +
                ": cannot be written: no new file can be made beside it (" + std::strerror(errno) +
                ")");
  return fd;
}

} // namespace

std::string excerpt(const std::string &bytes) {
  return text::quoted(std::string_view(bytes).substr(0, 80)) + (bytes.size() > 80 ? "..." : "");
}

Filter::Filter(const std::optional<std::string> &keep, const std::optional<std::string> &drop) {
  if (keep)
    this->keep = compiled("--filter", *keep);
  if (drop)
    this->drop = compiled("--filter-out", *drop);
}

Filter::~Filter() = default;

bool Filter::keeps(const std::string &name, const std::string &own) const {
  auto matches = [&](const re2::RE2 &pattern) {
    return re2::RE2::PartialMatch(name, pattern) ||
           (!own.empty() && own != name && re2::RE2::PartialMatch(own, pattern));
  };
  return (!keep || matches(*keep)) && (!drop || !matches(*drop));
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
    if (++number == 1 && line.starts_with("\xef\xbb\xbf")) // as some editors save text
      line.erase(0, 3);
    size_t from = line.find_first_not_of(" \t\r"), to = line.find_last_not_of(" \t\r");
    if (from == std::string::npos || line[from] == '#') // a comment, or blank
      continue;
    std::string name = line.substr(from, to - from + 1);
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c > 0x7e; }))
      throw Fatal(shown + ":" + std::to_string(number) + ": " + excerpt(name) +
                  " is no case's name: names are printable ASCII");
    names.push_back(name);
  }
  if (in.bad())
    throw Fatal(shown + ": cannot be read");
  return names;
}

void checkWritable(const std::filesystem::path &file, const std::filesystem::path &cases,
                   const std::string &option) {
  checkTarget(file, cases, option);
  std::string name;
  close(temporary(file, name, option));
  unlink(name.c_str());
}

void writeNames(const std::filesystem::path &file, const std::vector<std::string> &names,
                const std::string &about, const std::filesystem::path &cases) {
  std::string text = "# " + about + "\n";
  for (const std::string &name : names)
    text += name + "\n";
  writeWhole(file, text, cases, "--write-failures");
}

void writeWhole(const std::filesystem::path &file, const std::string &text,
                const std::filesystem::path &cases, const std::string &option) {
  std::string shown = option + " " + text::shown(file.string());
  checkTarget(file, cases, option);
  std::string part;
  int fd = temporary(file, part, option);
  // The mode a file made anew would have: what the umask leaves of rw-rw-rw-. No other thread
  // runs by now.
  mode_t mask = umask(0);
  umask(mask);
  bool written = fchmod(fd, 0666 & ~mask) == 0;
  for (size_t at = 0; written && at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    written = n > 0;
    at += n > 0 ? size_t(n) : 0;
  }
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  try {
    if (!written)
      throw Fatal(shown + ": cannot be written: " + std::strerror(error));
    checkTarget(file, cases, option); // whatever came in its place meanwhile
    if (std::rename(part.c_str(), file.c_str()) != 0)
      throw Fatal(shown + ": cannot be written: " + std::strerror(errno));
  } catch (const Fatal &) {
    unlink(part.c_str());
    throw;
  }
}

} // namespace selection
