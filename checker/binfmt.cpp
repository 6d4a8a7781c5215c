#include "binfmt.hpp"

#include "fatal.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace binfmt {
namespace {

constexpr const char *mountPoint = "/proc/sys/fs/binfmt_misc";

// Writes all of `text` to the file at `path`; false, with errno, where it cannot.
bool writeFile(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool whole = write(fd, text.data(), text.size()) == ssize_t(text.size());
  int error = errno;
  close(fd);
  errno = error;
  return whole;
}

std::string hex(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02x", byte);
  return text;
}

} // namespace

std::string checked(const std::string &flags) {
  std::set<char> seen;
  for (char flag : flags)
    if (!std::strchr(knownFlags, flag) || flag == '\0' || !seen.insert(flag).second)
      throw Fatal("--binfmt " + text::quoted(flags) +
                  ": the flags are any of P, O, C and F, each at most once ('' for none)");
  return flags;
}

std::string registration(const std::string &name, const processors::Processor &p,
                         const std::string &interpreter, const std::string &flags) {
  // e_ident: magic, class, byte order, version; the OS ABI and its version are not matched.
  unsigned char magic[20] = {0x7f,
                             'E',
                             'L',
                             'F',
                             (unsigned char)(p.bits == 64 ? 2 : 1),
                             (unsigned char)(p.bigEndian ? 2 : 1),
                             1};
  unsigned char mask[20] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00};
  for (int i = 9; i < 16; ++i)
    mask[i] = 0xff;
  // e_type 2 (an executable) or 3 (position-independent): the mask leaves out its lowest bit.
  // Then e_machine. Both in the programs' byte order.
  int low = p.bigEndian ? 1 : 0, high = 1 - low;
  magic[16 + low] = 2, mask[16 + low] = 0xfe, mask[16 + high] = 0xff;
  magic[18 + low] = (unsigned char)(p.machine & 0xff);
  magic[18 + high] = (unsigned char)(p.machine >> 8);
  mask[18] = mask[19] = 0xff;
  std::string line = ":" + name + ":M::";
  for (unsigned char byte : magic)
    line += hex(byte);
  line += ":";
  for (unsigned char byte : mask)
    line += hex(byte);
  return line + ":" + interpreter + ":" + flags;
}

std::string described(const std::string &interpreter, const std::string &flags) {
  return "through binfmt_misc: " + text::shown(interpreter) + ", flags " +
         (flags.empty() ? "none" : flags);
}

void enter(const std::vector<const processors::Processor *> &processors,
           const std::string &interpreter, const std::string &flags) {
  const std::string need = "--binfmt needs a user namespace of the checker's own with a "
                           "binfmt_misc of its own (Linux 6.7 and later, user namespaces allowed, "
                           "not in a chroot)";
  // The ids this process has, which become root in the namespace.
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
    throw Fatal(need + ": cannot make the namespaces: " + std::strerror(errno) +
                (errno == EPERM
                     ? " (in a chroot, or user namespaces are turned off: "
                       "sysctl user.max_user_namespaces, kernel.unprivileged_userns_clone)"
                     : ""));
  if (!writeFile("/proc/self/setgroups", "deny") ||
      !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
    throw Fatal(need + ": cannot map this user into its user namespace: " + std::strerror(errno));
  // A binfmt_misc mounted in a namespace whose user namespace is not the machine's is that
  // namespace's own; the kernels before 6.7 refuse to mount it there at all.
  if (mount("binfmt_misc", mountPoint, "binfmt_misc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
      0)
    throw Fatal(need + ": cannot mount a binfmt_misc of its own on " + mountPoint + ": " +
                std::strerror(errno) +
                (errno == EPERM ? " (a kernel before 6.7 gives a user namespace none)" : ""));
  // A fresh instance holds nothing but these two; anything else is an instance shared with
  // others, which is never written to.
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(mountPoint, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    if (it->path().filename() != "register" && it->path().filename() != "status")
      throw Fatal(need + ": the binfmt_misc mounted holds " + text::shown(it->path()) +
                  ", so it is not the namespace's own: nothing was registered");
  if (error)
    throw Fatal(need + ": cannot read " + mountPoint + ": " + error.message());
  std::set<std::string> registered;
  for (const processors::Processor *p : processors) {
    std::string name = "support-programs-check-" + std::to_string(p->bits) +
                       (p->bigEndian ? "-be-" : "-le-") + std::to_string(p->machine);
    if (!registered.insert(name).second)
      continue;
    if (!writeFile(std::string(mountPoint) + "/register",
                   registration(name, *p, interpreter, flags)))
      throw Fatal("--binfmt: cannot register " + text::shown(interpreter) + " with flags " +
                  (flags.empty() ? "none" : flags) + " for " + p->debian +
                  " programs: " + std::strerror(errno));
  }
}

} // namespace binfmt
