#include "process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace process {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long what a command left behind may keep its streams open after it has ended.
constexpr milliseconds grace{250};
// How long a slow reader waits after each read; and how long a full pipe stays full before the
// signal of a case is sent, so that the writer is surely blocked.
constexpr milliseconds slowPause{10}, blockedFor{5};

const char *const streamNames[] = {"standard output", "standard error"};

// The processes run() has started and not yet reaped; and whether they are all to be ended.
// Held while a process is started, so that none is missed or taken for an orphan.
std::mutex startedLock;
std::set<pid_t> started;
bool endingAll = false;

// What failed, with the system's reason.
std::string why(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// The working folders of the processes that start in an empty one: a new folder for each, so
// that nothing a process left running can write into the folder of another. Making and removing
// a folder costs more than starting a program on some disks, so a thread of their own makes a
// few ahead and removes each once it is given back; what a process left is listed first, as it
// is given back.
std::string temporary();

// Removes a tree that a process may have left unreadable (a folder of mode 0): each folder is
// given back its owner's rights before it is read. Says what could not be removed.
std::optional<std::string> removeTree(const std::string &path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0)
    return errno == ENOENT ? std::nullopt : std::optional(why(path.c_str()));
  if (S_ISDIR(status.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          names.push_back(entry->d_name);
      closedir(dir);
      for (const std::string &name : names)
        removeTree(path + "/" + name);
    }
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
      return why(path.c_str());
  } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return why(path.c_str());
  }
  return std::nullopt;
}

class Folders {
public:
  // An empty folder of its own; "" where none can be made, and `failure` says why.
  std::string take(std::string &failure) {
    {
      std::unique_lock guard(lock);
      startKeeper();
      if (!ready.empty()) {
        std::string path = std::move(ready.back());
        ready.pop_back();
        wake.notify_one();
        return path;
      }
    }
    std::string path = make(failure);
    if (!path.empty()) {
      std::lock_guard guard(lock);
      every.insert(path);
    }
    return path;
  }

  // What the process left in the folder, by name; the folder is then removed.
  std::vector<std::string> giveBack(const std::string &path) {
    std::vector<std::string> left;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(path, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
      left.push_back(it->path().filename());
    // A folder the case had deleted before the start holds nothing.
    if (error && error != std::errc::no_such_file_or_directory)
      left.push_back("(the folder cannot be read: " + error.message() + ")");
    std::sort(left.begin(), left.end());
    std::unique_lock guard(lock);
    if (keeping) {
      retired.push_back(path);
      wake.notify_one();
    } else {
      guard.unlock();
      remove(path);
    }
    return left;
  }

  // Removes every folder, for a process that ends; what could not be removed, in words.
  std::vector<std::string> removeEvery() {
    std::unique_lock guard(lock);
    stopping = true;
    wake.notify_all();
    // The keeper ends within one folder's making or removal.
    done.wait_for(guard, std::chrono::seconds(2), [&] { return !keeping; });
    std::vector<std::string> failures;
    for (const std::string &path : every)
      if (auto failure = removeTree(path))
        failures.push_back(*failure);
    every.clear();
    ready.clear();
    retired.clear();
    return failures;
  }

private:
  std::string make(std::string &failure) {
    std::string made = temporary() + "/support-programs.XXXXXX";
    if (mkdtemp(made.data()))
      return made;
    failure = "cannot make a working folder in " + temporary() + ": " + std::strerror(errno);
    return "";
  }

  void remove(const std::string &path) {
    removeTree(path);
    std::lock_guard guard(lock);
    every.erase(path);
  }

  // With the lock held.
  void startKeeper() {
    if (keeping || stopping || tried)
      return;
    tried = true;
    try {
      std::thread([this] { keep(); }).detach();
      keeping = true;
    } catch (const std::system_error &) { // each process's folder then made and removed in turn
    }
  }

  void keep() {
    // Signals are for the threads that wait for them, not this one.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock guard(lock);
    for (;;) {
      wake.wait(guard, [&] { return stopping || !retired.empty() || ready.size() < stock; });
      if (stopping)
        break;
      if (!retired.empty()) {
        std::string path = std::move(retired.back());
        retired.pop_back();
        guard.unlock();
        removeTree(path);
        guard.lock();
        every.erase(path);
      } else {
        guard.unlock();
        std::string failure, path = make(failure);
        guard.lock();
        if (path.empty()) { // made as they are needed, where the reason is said
          stock = 0;
          continue;
        }
        every.insert(path);
        ready.push_back(path);
      }
    }
    keeping = false;
    done.notify_all();
  }

  std::mutex lock;
  std::condition_variable wake, done;
  std::set<std::string> every; // made and not yet removed
  std::vector<std::string> ready, retired;
  size_t stock = 4;
  bool keeping = false, stopping = false, tried = false;
};

// Never destroyed: its thread may outlive the static objects' destruction.
Folders &folders = *new Folders;

// A descriptor of this process's, closed when it goes.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd(fd) {}
  Fd(Fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
  Fd &operator=(Fd &&other) noexcept {
    reset(std::exchange(other.fd, -1));
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd; }
  void reset(int to = -1) {
    if (fd >= 0)
      close(fd);
    fd = to;
  }

private:
  int fd = -1;
};

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
    std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
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

// A pids cgroup that lets one process be, made below this process's own for one start, and
// removed once what ran in it has been reaped.
class OneProcessCgroup {
public:
  // Throws why it cannot be made, and what would do.
  OneProcessCgroup() {
    static std::atomic<unsigned> made{0};
    std::string parent = pidsCgroup();
    std::ifstream controllers(parent + "/cgroup.subtree_control");
    std::string enabled;
    std::getline(controllers, enabled);
    if (controllers && (" " + enabled + " ").find(" pids ") == std::string::npos)
      throw std::string("the checker's cgroup " + parent +
                        " does not hand the pids controller to cgroups below it (its "
                        "cgroup.subtree_control lacks pids)");
    dir = parent + "/support-programs-check." + std::to_string(getpid()) + "." +
          std::to_string(made++);
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
  OneProcessCgroup(const OneProcessCgroup &) = delete;
  OneProcessCgroup &operator=(const OneProcessCgroup &) = delete;
  ~OneProcessCgroup() {
    if (dir.empty())
      return;
    // What ran in it has been reaped; the kernel may take a moment to let the cgroup go.
    for (int tries = 0; rmdir(dir.c_str()) != 0 && errno == EBUSY && tries < 100; ++tries)
      std::this_thread::sleep_for(milliseconds(1));
  }
  // Written "0" by the child, which then moves itself in.
  int processes() const { return procs.get(); }

private:
  std::string dir;
  Fd procs;
};

// What becomes of one standard stream: the descriptor the child takes as it (or none, or it
// closed), and what this process keeps of it to read.
struct Plan {
  Fd child; // the child's end, closed here once it has started
  int source = -1;
  bool closed = false;
  Fd reader; // read while it runs
  Fd file;   // a regular file, read once it has ended
  bool pty = false;
};

// A temporary folder's path: TMPDIR's, else /tmp.
std::string temporary() {
  const char *dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

// A regular file of this process's alone, under TMPDIR or /tmp, with no name left to it. Throws
// the reason where none can be made.
Fd temporaryFile() {
  std::string dir = temporary();
  Fd file(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.get() < 0) { // a file system without O_TMPFILE: a named one, unlinked at once
    std::string name = dir + "/support-programs.XXXXXX";
    file.reset(mkostemp(name.data(), O_CLOEXEC));
    if (file.get() >= 0)
      unlink(name.c_str());
  }
  if (file.get() < 0)
    throw why(("cannot make a file in " + dir).c_str());
  return file;
}

// Sets up standard stream `fd`. Throws the reason when what it needs cannot be had.
Plan plan(int fd, Stream stream, size_t pipeSize = 0) {
  Plan p;
  auto take = [&](int child) {
    p.child.reset(child);
    p.source = child;
  };
  switch (stream) {
  case Stream::Inherited:
    break;
  case Stream::Closed:
    p.closed = true;
    break;
  case Stream::DevNull:
  case Stream::DevFull: {
    int opened = open(stream == Stream::DevNull ? "/dev/null" : "/dev/full",
                      (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (opened < 0)
      throw why("cannot open a device");
    take(opened);
    break;
  }
  case Stream::Pipe:
  case Stream::BrokenPipe: {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      throw why("cannot make a pipe");
    if (pipeSize && fcntl(ends[1], F_SETPIPE_SZ, int(pipeSize)) < 0) {
      close(ends[0]);
      close(ends[1]);
      throw why("cannot size a pipe");
    }
    // Standard input gets the reading end of a pipe that holds nothing.
    take(ends[fd == 0 ? 0 : 1]);
    if (fd != 0 && stream == Stream::Pipe)
      p.reader.reset(ends[0]);
    else
      close(ends[fd == 0 ? 1 : 0]);
    break;
  }
  case Stream::Pty: {
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        ptsname_r(master.get(), name, sizeof name) != 0)
      throw why("cannot make a pseudo-terminal");
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
      throw why("cannot open a pseudo-terminal");
    take(slave);
    p.reader = std::move(master);
    p.pty = true;
    break;
  }
  case Stream::Socket:
  case Stream::ClosedSocket: {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
      throw why("cannot make a socket");
    Fd mine(ends[0]);
    take(ends[1]);
    if (stream == Stream::Socket)
      p.reader = std::move(mine);
    break;
  }
  case Stream::File:
    p.file = temporaryFile();
    p.source = p.file.get();
    break;
  case Stream::PipeWithData: {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      throw why("cannot make a pipe");
    Fd writer(ends[1]);
    take(ends[0]);
    if (write(writer.get(), heldInput.data(), heldInput.size()) != ssize_t(heldInput.size()))
      throw why("cannot fill a pipe");
    // A copy of the reading end, to read what is left once the process has ended.
    p.reader.reset(fcntl(ends[0], F_DUPFD_CLOEXEC, 3));
    if (p.reader.get() < 0)
      throw why("cannot keep a pipe");
    break;
  }
  case Stream::AppendFile: {
    Fd made = temporaryFile();
    if (write(made.get(), appendedTo.data(), appendedTo.size()) != ssize_t(appendedTo.size()))
      throw why(("cannot write a file in " + temporary()).c_str());
    // The child's own opening of it, for appending, at offset 0 as a new opening is.
    std::string self = "/proc/self/fd/" + std::to_string(made.get());
    int appending = open(self.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (appending < 0)
      throw why("cannot open a file for appending");
    take(appending);
    p.file = std::move(made);
    break;
  }
  case Stream::Fifo: {
    // Made in a folder of its own, and both gone as soon as both ends are open.
    std::string dir = temporary() + "/support-programs.XXXXXX";
    if (!mkdtemp(dir.data()))
      throw why("cannot make a folder for a FIFO");
    std::string path = dir + "/fifo";
    int reader = -1, writer = -1;
    if (mkfifo(path.c_str(), 0600) == 0 &&
        (reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) >= 0)
      writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int error = errno;
    unlink(path.c_str());
    rmdir(dir.c_str());
    p.reader.reset(reader);
    if (writer < 0) {
      errno = error;
      throw why("cannot make a FIFO");
    }
    take(writer);
    break;
  }
  }
  return p;
}

// All that the child needs, made before it is started: between vfork and exec it may allocate
// nothing and call only what is safe in a signal handler.
struct Child {
  const char *path = nullptr, *dir = nullptr;
  char *const *argv = nullptr, *const *envp = nullptr;
  int source[4] = {-1, -1, -1, -1}; // standard streams, then descriptor 3 where one is passed
  bool closed[4] = {};
  int count = 3; // descriptors it starts with
  bool noNewPrivileges = false, ptraceDenied = false, folderDeleted = false, hideProc = false;
  bool noCapabilities = false; // none kept, and none gained at exec (root's, where it is root)
  int cgroupProcesses = -1;    // cgroup.procs of the cgroup it moves itself into first
  const sock_fprog *filter = nullptr;
  const std::vector<Limit> *limits = nullptr;
  const std::vector<int> *ignored = nullptr;
  int lastSignal = 0;
  size_t sigsetSize = 0;
  sigset_t mask{};
  volatile int error = 0; // set by the child where it could not be started
  // Set by the child while it arranges a condition: what it was doing, where that failed.
  const char *volatile arranging = nullptr;
};

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

// Starts the child with every signal blocked here until it has left this process's memory, so
// that no handler of this process's runs in it. The child's ends of its streams are closed here
// before another thread can start a process, which would hold them (close-on-exec as they are)
// until it has closed its descriptors, and so keep a stream open after this child has ended.
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

// Copies `from` to a new file `to` that may be executed but not read; false, with errno, where it
// cannot. Under the lock that starts processes, so that no child started meanwhile holds the copy
// open for writing, which would make its exec fail (ETXTBSY).
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

// Reaps a child that spawn() started.
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::lock_guard guard(startedLock);
  started.erase(pid);
  return status;
}

std::string seconds(milliseconds time) {
  std::ostringstream text;
  text << double(time.count()) / 1000;
  return text.str();
}

// Whether pid has ended, without reaping it: while it is unreaped, neither its pid nor its
// process group's id can be taken by another process.
bool ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Whether a pipe holds all it can, or all but a page (half of a pipe of one page): its writer is
// then blocked, or about to be.
bool full(int fd) {
  int held = 0, size = fcntl(fd, F_GETPIPE_SZ);
  return size > 0 && ioctl(fd, FIONREAD, &held) == 0 && held > 0 &&
         held >= size - std::min(4096, size / 2);
}

// Reads the streams as the child writes, so that it never blocks on a full pipe (unless the
// start asks for a slow reader, or for a signal once it blocks), until it has ended and every
// stream is at its end; or until its time runs out, it writes past a bound, or what it left
// keeps a stream open past the grace. Says why in `ending` when it stops early.
//
// The states: Running until the process ends; then Draining, for at most the grace, until every
// stream is at its end.
void supervise(pid_t pid, Plan (&plans)[3], const Start &start, const Limits &limits,
               Outcome &outcome, std::optional<Ending> &stopped) {
  enum class State { Running, Draining } state = State::Running;
  auto now = Clock::now();
  std::optional<Clock::time_point> deadline, graceEnd, nextRead;
  auto fullSince = Clock::time_point::max(); // since when standard output has been full
  if (limits.timeout.count() > 0)
    deadline = now + limits.timeout;
  bool sent = start.send == 0;
  auto holdUntil = Clock::time_point::min(); // standard output unread till then, once sent
  // Readable once it has ended; where the kernel has none, the loop polls for the end.
  Fd pidFd(int(syscall(SYS_pidfd_open, pid, 0)));
  // A regular file as standard output is read once the process has ended, but bounded while it
  // runs: each write to it wakes this loop, which ends the process once the file is past its
  // bound; where the kernel cannot say when it is written, the loop looks every 10 ms.
  Fd fileWrites;
  const int file = plans[1].file.get();
  if (file >= 0 && limits.out != std::numeric_limits<size_t>::max()) {
    fileWrites.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    std::string self = "/proc/self/fd/" + std::to_string(file);
    if (fileWrites.get() >= 0 && inotify_add_watch(fileWrites.get(), self.c_str(), IN_MODIFY) < 0)
      fileWrites.reset();
  }
  auto fileTooLong = [&] {
    struct stat status;
    if (file < 0 || limits.out == std::numeric_limits<size_t>::max() || fstat(file, &status) != 0 ||
        size_t(status.st_size) <= limits.out)
      return false;
    stopped =
        Ending{Ending::Kind::TooMuch, 0,
               "wrote more than " + std::to_string(limits.out) + " bytes on " + streamNames[0]};
    return true;
  };
  Fd *fds[2] = {&plans[1].reader, &plans[2].reader};
  std::string *into[] = {&outcome.out, &outcome.err};
  const size_t bound[] = {limits.out, limits.err};
  char buffer[1 << 16];
  // Reads once from stream i; false where it wrote past its bound.
  auto take = [&](int i) {
    size_t want = sizeof buffer;
    if (i == 0 && start.reader == Reader::CloseAfter)
      want = std::min(want, start.closeAfter - std::min(start.closeAfter, into[0]->size()));
    ssize_t n = want ? read(fds[i]->get(), buffer, want) : 0;
    if (n > 0 && into[i]->size() + size_t(n) > bound[i]) {
      into[i]->append(buffer, bound[i] - into[i]->size());
      stopped =
          Ending{Ending::Kind::TooMuch, 0,
                 "wrote more than " + std::to_string(bound[i]) + " bytes on " + streamNames[i]};
      return false;
    }
    if (n > 0) {
      into[i]->append(buffer, size_t(n));
      if (i == 0 && start.reader == Reader::Slow)
        nextRead = Clock::now() + slowPause;
      if (i == 0 && start.reader == Reader::CloseAfter && into[0]->size() >= start.closeAfter)
        fds[0]->reset();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      fds[i]->reset(); // at its end; a pseudo-terminal says EIO once its last user is gone
    }
    return true;
  };
  // Once it has ended: all that its streams hold now, to their ends where they are there. Read
  // before any bound of time is called passed, so that this thread's own delay (a loaded
  // machine) is never taken for the process's.
  auto drained = [&] {
    for (;;) {
      pollfd polled[] = {{fds[0]->get(), POLLIN, 0}, {fds[1]->get(), POLLIN, 0}};
      if (poll(polled, 2, 0) <= 0)
        break;
      for (int i = 0; i < 2; ++i)
        if (fds[i]->get() >= 0 && polled[i].revents && !take(i))
          return false;
    }
    return fds[0]->get() < 0 && fds[1]->get() < 0;
  };
  for (;;) {
    now = Clock::now();
    if (state == State::Running && ended(pid)) {
      state = State::Draining;
      graceEnd = now + grace;
    }
    bool open[2] = {fds[0]->get() >= 0, fds[1]->get() >= 0};
    if (state == State::Draining && !open[0] && !open[1])
      return;
    bool late = (deadline && now >= *deadline) || (graceEnd && now >= *graceEnd);
    if (late && state == State::Draining && (drained() || stopped))
      return;
    open[0] = fds[0]->get() >= 0;
    open[1] = fds[1]->get() >= 0;
    if (deadline && now >= *deadline) {
      stopped = Ending{Ending::Kind::TimedOut, int(limits.timeout.count()),
                       "timed out after " + seconds(limits.timeout) + " s"};
      return;
    }
    if (state == State::Draining && now >= *graceEnd) {
      std::string held =
          open[0] && open[1] ? "standard output and standard error" : streamNames[open[0] ? 0 : 1];
      stopped = Ending{Ending::Kind::PipesHeld, 0,
                       limits.who + " ended but a process it started kept " + held + " open"};
      return;
    }
    // The case's signal, once standard output has stayed full.
    std::optional<Clock::time_point> until = deadline;
    auto soon = [&](Clock::time_point t) { until = until ? std::min(*until, t) : t; };
    if (!sent && state == State::Running && open[0]) {
      if (!full(fds[0]->get()))
        fullSince = Clock::time_point::max();
      else if (fullSince == Clock::time_point::max())
        fullSince = now;
      if (fullSince != Clock::time_point::max() && now - fullSince >= blockedFor) {
        kill(start.sendToGroup ? -pid : pid, start.send);
        sent = true;
        holdUntil = now + start.holdAfterSend;
      } else {
        soon(now + milliseconds(1));
      }
    }
    bool held = state == State::Running && now < holdUntil;
    if (held)
      soon(holdUntil);
    bool paused = (nextRead && now < *nextRead) || held;
    bool readOut = open[0] && (sent || state == State::Draining) && !paused;
    if (open[0] && nextRead && now < *nextRead)
      soon(*nextRead);
    if (graceEnd)
      soon(*graceEnd);
    if (state == State::Running && (pidFd.get() < 0 || (file >= 0 && fileWrites.get() < 0)))
      soon(now + milliseconds(10));
    int wait =
        until ? int(std::max<long>(0, std::chrono::ceil<milliseconds>(*until - now).count())) : -1;
    pollfd polled[] = {{readOut ? fds[0]->get() : -1, POLLIN, 0},
                       {fds[1]->get(), POLLIN, 0},
                       {state == State::Running ? pidFd.get() : -1, POLLIN, 0},
                       {fileWrites.get(), POLLIN, 0}};
    if (poll(polled, 4, wait) < 0 && errno != EINTR) {
      stopped = Ending{Ending::Kind::Failure, 0, why("cannot wait for a process")};
      return;
    }
    for (int i = 0; i < 2; ++i)
      if (fds[i]->get() >= 0 && polled[i].revents && !take(i))
        return;
    if (polled[3].revents) {
      char events[4096];
      while (read(fileWrites.get(), events, sizeof events) > 0) {
      }
    }
    if (file >= 0 && fileTooLong())
      return;
  }
}

// Whether a pipe's writers have all gone within `within`; what it is given meanwhile is dropped.
bool atEnd(int fd, milliseconds within) {
  auto until = Clock::now() + within;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
    pollfd polled = {fd, POLLIN, 0};
    if (poll(&polled, 1, int(std::max<long>(0, left))) < 0 && errno != EINTR)
      return false;
    if (polled.revents) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
        return true;
    } else if (left <= 0) {
      return false;
    }
  }
}

// What a pipe holds now, without waiting for more.
std::string unread(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    pollfd polled = {fd, POLLIN, 0};
    if (poll(&polled, 1, 0) <= 0 || !(polled.revents & POLLIN))
      return text;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
      return text;
    text.append(buffer, size_t(n));
  }
}

// What a regular file holds, up to `bound` bytes and one more.
std::string readFile(int fd, size_t bound) {
  std::string text;
  char buffer[1 << 16];
  for (off_t at = 0; text.size() <= bound;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(buffer, size_t(n));
    at += n;
  }
  return text;
}

// The whole of a small file, or nothing where it cannot be opened (as when no descriptor is
// left).
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

std::vector<std::string> removeWorkingFolders() { return folders.removeEvery(); }

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

std::string located(const std::string &name) {
  std::error_code error;
  if (name.find('/') != std::string::npos)
    return std::filesystem::absolute(name, error);
  const char *search = std::getenv("PATH");
  std::string folders = search ? search : "/usr/bin:/bin";
  for (size_t from = 0;;) {
    size_t to = std::min(folders.find(':', from), folders.size());
    std::string folder = folders.substr(from, to - from);
    std::string path = (folder.empty() ? "." : folder) + "/" + name;
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        access(path.c_str(), X_OK) == 0)
      return std::filesystem::absolute(path, error).lexically_normal();
    if (to == folders.size())
      return "";
    from = to + 1;
  }
}

Outcome run(const Start &start, const Limits &limits) {
  Outcome outcome;
  auto began = Clock::now();
  std::string folder; // the working folder, where the start asks for an empty one
  std::string link;   // a link the case asks for in that folder, which it did not leave there
  auto finish = [&](Ending ending) {
    if (!link.empty())
      unlink(link.c_str());
    if (!folder.empty())
      outcome.left = folders.giveBack(folder);
    outcome.ending = std::move(ending);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    return outcome;
  };
  if (!start.notArranged.empty())
    return finish({Ending::Kind::NotArranged, 0, start.notArranged});
  if (start.argv.empty() && start.path.empty())
    return finish({Ending::Kind::NotStarted, 0, std::strerror(EINVAL)});
  std::string path = start.path.empty() ? located(start.argv[0]) : start.path;
  if (path.empty())
    return finish({Ending::Kind::NotStarted, 0, std::strerror(ENOENT)});
  std::vector<char *> argv, envp;
  for (const auto &word : start.argv)
    argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  for (const auto &entry : start.environment)
    envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);

  Plan plans[3];
  const Stream kinds[3] = {start.streams.in, start.streams.out, start.streams.err};
  try {
    for (int fd = 0; fd < 3; ++fd)
      plans[fd] = plan(fd, kinds[fd], fd == 1 ? start.pipeSize : 0);
  } catch (const std::string &failure) {
    return finish({Ending::Kind::Failure, 0, failure});
  }
  // Room for all that is read back of a file stream, kept before the start: a full TMPDIR is
  // then this process's failure to start the case, never an error that the program meets.
  const size_t bounds[3] = {0, limits.out, limits.err};
  for (int fd = 1; fd < 3; ++fd)
    if (plans[fd].file.get() >= 0 && bounds[fd] < (size_t(1) << 30) &&
        fallocate(plans[fd].file.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(bounds[fd]) + 1) != 0 &&
        (errno == ENOSPC || errno == EDQUOT))
      return finish({Ending::Kind::Failure, 0,
                     why(("TMPDIR is full: no room for " + std::to_string(bounds[fd] + 1) +
                          " bytes of a file stream in " + temporary())
                             .c_str())});
  std::string failure;
  if (start.freshFolder && (folder = folders.take(failure)).empty())
    return finish({Ending::Kind::Failure, 0, failure});
  if (!folder.empty() && !start.linkName.empty()) {
    std::string made = folder + "/" + start.linkName;
    link = made;
    if (start.execOnly ? !execOnlyCopy(start.linkTo, made)
                       : symlink(start.linkTo.c_str(), made.c_str()) != 0)
      return finish(
          {Ending::Kind::Failure, 0,
           why(("cannot make " + std::string(start.execOnly ? "the copy " : "the link ") + made)
                   .c_str())});
  }
  Child child;
  child.path = path.c_str();
  child.dir = folder.empty() ? nullptr : folder.c_str();
  child.argv = argv.data();
  child.envp = envp.data();
  for (int fd = 0; fd < 3; ++fd) {
    child.source[fd] = plans[fd].source;
    child.closed[fd] = plans[fd].closed;
  }
  // Descriptor 3: the writing end of a pipe whose reading end stays here.
  Fd passed, passedReader;
  if (start.passesPipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      return finish({Ending::Kind::Failure, 0, why("cannot make a pipe")});
    passedReader.reset(ends[0]);
    passed.reset(ends[1]);
    child.source[3] = ends[1];
    child.count = 4;
  }
  child.noNewPrivileges = start.noNewPrivileges;
  child.folderDeleted = start.folderDeleted && !folder.empty();
  if (start.procHidden && geteuid() != 0)
    return finish({Ending::Kind::NotArranged, 0,
                   "hiding /proc takes a mount namespace of its own, which takes root: run the "
                   "checker as root"});
  child.hideProc = start.procHidden;
  child.noCapabilities = start.execOnly;
  // One process at most: root, whom RLIMIT_NPROC does not hold, through a cgroup.
  std::vector<Limit> limitsHere = start.limits;
  std::optional<OneProcessCgroup> cgroup;
  if (start.oneProcess && geteuid() == 0) {
    try {
      child.cgroupProcesses = cgroup.emplace().processes();
    } catch (const std::string &failure) {
      return finish(
          {Ending::Kind::NotArranged, 0,
           "one process at most takes a pids cgroup where the checker runs as root: " + failure});
    }
  } else if (start.oneProcess) {
    limitsHere.push_back({RLIMIT_NPROC, 1, false});
  }
  // ptrace fails with EPERM; every other call is let through.
  sock_filter denyPtrace[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{sizeof denyPtrace / sizeof *denyPtrace, denyPtrace};
  if (start.ptraceDenied)
    child.filter = &filter;
  child.limits = &limitsHere;
  child.ignored = &start.ignored;
  child.lastSignal = SIGRTMAX;
  child.sigsetSize = size_t(SIGRTMAX + 1) / 8;
  sigemptyset(&child.mask);
  for (int signal : start.blocked)
    sigaddset(&child.mask, signal);

  pid_t pid = spawn(child, plans);
  passed.reset();
  if (pid < 0) {
    int error = errno;
    return finish(
        {error == EAGAIN || error == ENOMEM ? Ending::Kind::Failure : Ending::Kind::NotStarted, 0,
         std::string(error == EAGAIN || error == ENOMEM ? "cannot start a process: " : "") +
             std::strerror(error)});
  }
  if (child.error) {
    reap(pid);
    int error = child.error;
    if (child.arranging)
      return finish({Ending::Kind::NotArranged, 0,
                     std::string(child.arranging) + ": " + std::strerror(error)});
    if (error == EMFILE || error == ENFILE || error == ENOMEM)
      return finish({Ending::Kind::Failure, 0,
                     std::string("cannot start a process: ") + std::strerror(error)});
    return finish({Ending::Kind::NotStarted, 0, std::strerror(error)});
  }
  std::optional<Ending> stopped;
  supervise(pid, plans, start, limits, outcome, stopped);
  // Descriptor 3 closed everywhere once the process has ended: what it started has the grace
  // that the streams have.
  if (!stopped && passedReader.get() >= 0 && !atEnd(passedReader.get(), grace))
    stopped = Ending{Ending::Kind::PipesHeld, 0,
                     limits.who + " ended but a process it started kept descriptor 3 open"};
  if (start.streams.in == Stream::PipeWithData)
    outcome.in = unread(plans[0].reader.get());
  // Whatever it started and left behind ends with it; it too, where it has not ended by itself.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  for (Plan &p : plans)
    p.reader.reset();
  int status = reap(pid);
  if (!stopped && plans[1].file.get() >= 0) {
    outcome.out = readFile(plans[1].file.get(), limits.out);
    if (outcome.out.size() > limits.out) {
      outcome.out.resize(limits.out);
      stopped =
          Ending{Ending::Kind::TooMuch, 0,
                 "wrote more than " + std::to_string(limits.out) + " bytes on " + streamNames[0]};
    }
  }
  if (stopped)
    return finish(*stopped);
  return finish(WIFEXITED(status) ? Ending::exited(WEXITSTATUS(status))
                                  : Ending::signaled(WTERMSIG(status)));
}

Outcome run(const std::vector<std::string> &argv, const Streams &streams, const Limits &limits) {
  Start start;
  start.argv = argv;
  start.streams = streams;
  return run(start, limits);
}

std::string signalName(int signal) {
  const char *name = sigabbrev_np(signal);
  return name ? "SIG" + std::string(name) : std::to_string(signal);
}

std::string Ending::text() const {
  switch (kind) {
  case Kind::Exited:
    return "exit " + std::to_string(code);
  case Kind::Signaled:
    return "signal " + signalName(code);
  case Kind::NotStarted:
  case Kind::Failure:
    return "not started: " + detail;
  case Kind::NotArranged:
    return "not arranged: " + detail;
  default:
    return detail;
  }
}

std::vector<std::string> words(const std::string &commandLine) {
  std::vector<std::string> result;
  std::istringstream in(commandLine);
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

} // namespace process
