// The processes started: the child's own set-up between vfork and exec, the registry of those
// not yet reaped, and the one place that ends them all.
#include "process_parts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace process::detail {
namespace {

// The processes run() has started and not yet reaped; and whether they are all to be ended.
// Held while a process is started, so that none is missed or taken for an orphan.
std::mutex startedLock;
std::set<pid_t> started;
bool endingAll = false;

// The folder of this process's own cgroup in the hierarchy that has the pids controller (a
// cgroup v1 hierarchy of its own, else the unified one), from /proc/self/mountinfo and
// /proc/self/cgroup; throws why there is none.
std::string pidsCgroup() {
  std::ifstream cgroups("/proc/self/cgroup"), mounts("/proc/self/mountinfo");
  std::string line, v1, v2;
  bool haveV2 = false;
  while (std::getline(cgroups, line)) {
    // "ID:CONTROLLERS:PATH"
    size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos)
      continue;
    std::string controllers = ",";
    controllers.append(line, first + 1, second - first - 1).push_back(',');
    if (controllers.find(",pids,") != std::string::npos)
      v1 = line.substr(second + 1);
    else if (controllers == ",," && line.compare(0, first, "0") == 0)
      v2 = line.substr(second + 1), haveV2 = true;
  }
  // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS"
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string skip, root, point, word, type, source, options;
    fields >> skip >> skip >> skip >> root >> point;
    while (fields >> word && word != "-") {
    }
    fields >> type >> source >> options;
    bool pids = type == "cgroup" && ("," + options + ",").find(",pids,") != std::string::npos;
    const std::string &path = pids ? v1 : v2;
    if (!(pids && !v1.empty()) && !(type == "cgroup2" && haveV2 && v1.empty()))
      continue;
    // Names that the kernel escaped (white space, backslash) are left alone.
    if (point.find('\\') != std::string::npos || root.find('\\') != std::string::npos)
      continue;
    if (root == "/")
      root.clear();
    if (path.compare(0, root.size(), root) != 0)
      continue;
    return point + path.substr(root.size());
  }
  throw std::string("no cgroup hierarchy with the pids controller is mounted here (one in "
                    "/sys/fs/cgroup would do)");
}

// The child, after vfork: sets itself up and becomes the program, or says why not in `error`.
[[noreturn]] void become(Child &c) {
  struct sigaction fallback {
  }, ignore{};
  fallback.sa_handler = SIG_DFL;
  ignore.sa_handler = SIG_IGN;
  const unsigned char none[256] = {}; // the kernel's sigaction for SIG_DFL, on any processor
  for (int signal = 1; signal <= c.lastSignal; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP)
      continue;
    bool ignored = std::find(c.ignored->begin(), c.ignored->end(), signal) != c.ignored->end();
    // The C library refuses its own signals (32, 33), which the kernel takes.
    if (sigaction(signal, ignored ? &ignore : &fallback, nullptr) != 0 && !ignored)
      syscall(SYS_rt_sigaction, signal, none, nullptr, c.sigsetSize);
  }
  // A session of its own, with no controlling terminal; it leads its process group.
  setsid();
  c.arranging = "cannot move into a cgroup of one process";
  if (c.cgroupProcesses >= 0 && write(c.cgroupProcesses, "0", 1) != 1)
    goto failed;
  // An empty file system over /proc, in a mount namespace of its own, whose /proc mount is made
  // private first so that nothing done here reaches the namespace it came from.
  c.arranging = "cannot make a mount namespace of its own to hide /proc in";
  if (c.hideProc && unshare(CLONE_NEWNS) != 0)
    goto failed;
  c.arranging = "cannot make the mount of /proc private (is /proc mounted?)";
  if (c.hideProc && mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    goto failed;
  c.arranging = "cannot mount an empty file system over /proc";
  if (c.hideProc && mount("none", "/proc", "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                          "size=4k,mode=555") != 0)
    goto failed;
  c.arranging = nullptr;
  if (c.dir && chdir(c.dir) != 0)
    goto failed;
  if (c.folderDeleted && rmdir(c.dir) != 0)
    goto failed;
  for (int fd = 0; fd < c.count; ++fd) {
    int source = c.source[fd];
    if (source >= 0 && source < c.count && source != fd) // not to be overwritten by another
      source = c.source[fd] = fcntl(source, F_DUPFD_CLOEXEC, c.count);
  }
  for (int fd = 0; fd < c.count; ++fd) {
    int source = c.source[fd];
    if (source == fd ? fcntl(fd, F_SETFD, 0) != 0 : source >= 0 && dup2(source, fd) != fd)
      goto failed;
  }
  for (int fd = 0; fd < c.count; ++fd)
    if (c.closed[fd])
      close(fd);
  // Every other descriptor: those of this process are close-on-exec, but not those it inherited.
  syscall(SYS_close_range, unsigned(c.count), ~0U, 0U);
  if ((c.noNewPrivileges || (c.filter && geteuid() != 0)) &&
      prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    goto failed;
  if (c.filter && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, c.filter) != 0)
    goto failed;
  for (const Limit &limit : *c.limits) {
    struct rlimit now;
    if (getrlimit(limit.resource, &now) != 0)
      goto failed;
    now.rlim_cur = limit.toHard ? now.rlim_max : limit.soft;
    if (setrlimit(limit.resource, &now) != 0)
      goto failed;
  }
  if (c.noCapabilities && geteuid() == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    c.arranging = "cannot start it without capabilities";
    if (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) != 0 ||
        syscall(SYS_capset, &header, none) != 0)
      goto failed;
    c.arranging = nullptr;
  }
  sigprocmask(SIG_SETMASK, &c.mask, nullptr);
  execve(c.path, c.argv, c.envp);
failed:
  c.error = errno;
  _exit(127);
}

// The whole of a small file, or nothing where it cannot be opened (as when no descriptor is
// left).
std::optional<std::string> contents(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
    if (n > 0)
      text.append(buffer, size_t(n));
    else if (errno != EINTR)
      break;
  close(fd);
  return text;
}

// This process's children, as its main thread's children file lists them (the threads that
// took any have ended by the time this is asked); where the kernel has no such file, from every
// process's stat, whose fields after the command's closing parenthesis are the state and the
// parent's pid. Plain C parsing: it may run with no descriptor left, which streams mind.
std::vector<pid_t> children() {
  std::vector<pid_t> found;
  const std::string self = std::to_string(getpid());
  if (auto list = contents("/proc/" + self + "/task/" + self + "/children")) {
    char *end = list->data();
    for (long pid; (pid = std::strtol(end, &end, 10)) > 0;)
      found.push_back(pid_t(pid));
    return found;
  }
  DIR *processes = opendir("/proc");
  while (dirent *entry = processes ? readdir(processes) : nullptr) {
    const std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::string stat = contents("/proc/" + name + "/stat").value_or("");
    auto close = stat.rfind(')');
    int parent = 0;
    if (close != std::string::npos &&
        std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == getpid())
      found.push_back(pid_t(std::stol(name)));
  }
  if (processes)
    closedir(processes);
  return found;
}

} // namespace

OneProcessCgroup::OneProcessCgroup() {
  static std::atomic<unsigned> made{0};
  std::string parent = pidsCgroup();
  std::ifstream controllers(parent + "/cgroup.subtree_control");
  std::string enabled;
  std::getline(controllers, enabled);
  if (controllers && (" " + enabled + " ").find(" pids ") == std::string::npos)
    throw std::string("the checker's cgroup " + parent +
                      " does not hand the pids controller to cgroups below it (its "
                      "cgroup.subtree_control lacks pids)");
  dir =
      parent + "/support-programs-check." + std::to_string(getpid()) + "." + std::to_string(made++);
  if (mkdir(dir.c_str(), 0700) != 0) {
    dir.clear();
    throw why(("cannot make a cgroup in " + parent).c_str());
  }
  Fd max(open((dir + "/pids.max").c_str(), O_WRONLY | O_CLOEXEC));
  if (max.get() >= 0 && write(max.get(), "1", 1) == 1)
    procs = Fd(open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
  if (procs.get() < 0) {
    std::string failure = why(("cannot limit the processes of " + dir).c_str());
    rmdir(dir.c_str());
    dir.clear();
    throw failure;
  }
}

OneProcessCgroup::~OneProcessCgroup() {
  if (dir.empty())
    return;
  // What ran in it has been reaped; the kernel may take a moment to let the cgroup go.
  for (int tries = 0; rmdir(dir.c_str()) != 0 && errno == EBUSY && tries < 100; ++tries)
    std::this_thread::sleep_for(milliseconds(1));
}

pid_t spawn(Child &child, Plan (&plans)[3]) {
  sigset_t all, old;
  sigfillset(&all);
  std::lock_guard guard(startedLock);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = vfork();
  if (pid == 0)
    become(child);
  int error = errno;
  for (Plan &p : plans)
    p.child.reset();
  errno = error;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid > 0) {
    started.insert(pid);
    if (endingAll) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
    }
  }
  return pid;
}

bool execOnlyCopy(const std::string &from, const std::string &to) {
  std::lock_guard guard(startedLock);
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (in.get() < 0 || fstat(in.get(), &status) != 0)
    return false;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return false;
  }
  Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
  if (out.get() < 0)
    return false;
  for (off_t left = status.st_size; left > 0;) {
    ssize_t copied = sendfile(out.get(), in.get(), nullptr, size_t(left));
    if (copied <= 0) {
      if (copied == 0)
        errno = EIO; // the file shrank as it was read
      return false;
    }
    left -= copied;
  }
  return fchmod(out.get(), 0111) == 0;
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::lock_guard guard(startedLock);
  started.erase(pid);
  return status;
}

} // namespace process::detail

namespace process {

using namespace detail;

void adoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void endAll() {
  std::lock_guard guard(startedLock);
  endingAll = true;
  for (pid_t pid : started) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
}

void reapOrphans() {
  std::lock_guard guard(startedLock);
  for (pid_t pid : children())
    if (!started.contains(pid))
      waitpid(pid, nullptr, WNOHANG);
}

void endOrphans() {
  // Each killed orphan's own children come to this process in turn, until none is left.
  auto until = Clock::now() + std::chrono::seconds(2);
  for (std::vector<pid_t> left = children(); !left.empty() && Clock::now() < until;
       left = children()) {
    for (pid_t pid : left)
      kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
}

} // namespace process
