// What the parts that start and watch a process share; callers use process.hpp alone.
#pragma once

#include "process.hpp"

#include <linux/filter.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace process::detail {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long what a command left behind may keep its streams open after it has ended.
inline constexpr milliseconds grace{250};
// How long a slow reader waits after each read; and how long a full pipe stays full before the
// signal of a case is sent, so that the writer is surely blocked.
inline constexpr milliseconds slowPause{10}, blockedFor{5};

inline const char *const streamNames[] = {"standard output", "standard error"};

// What failed, with the system's reason.
inline std::string why(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

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

// A pids cgroup that lets one process be, made below this process's own for one start, and
// removed once what ran in it has been reaped.
class OneProcessCgroup {
public:
  // Throws why it cannot be made, and what would do.
  OneProcessCgroup();
  OneProcessCgroup(const OneProcessCgroup &) = delete;
  OneProcessCgroup &operator=(const OneProcessCgroup &) = delete;
  ~OneProcessCgroup();
  // Written "0" by the child, which then moves itself in.
  int processes() const { return procs.get(); }

private:
  std::string dir;
  Fd procs;
};

// Working folders and temporary files (process_folders.cpp).
// A temporary folder's path: TMPDIR's, else /tmp.
std::string temporary();
// A regular file of this process's alone, under TMPDIR or /tmp, with no name left to it. Throws
// the reason where none can be made.
Fd temporaryFile();
// An empty folder of its own; "" where none can be made, and `failure` says why.
std::string takeFolder(std::string &failure);
// What the process left in the folder, by name; the folder is then removed.
std::vector<std::string> giveBackFolder(const std::string &path);

// The standard streams (process_streams.cpp).
// Sets up standard stream `fd`. Throws the reason when what it needs cannot be had.
Plan plan(int fd, Stream stream, size_t pipeSize = 0);
// Whether a pipe's writers have all gone within `within`; what it is given meanwhile is dropped.
bool atEnd(int fd, milliseconds within);
// What a pipe holds now, without waiting for more.
std::string unread(int fd);
// What a regular file holds, up to `bound` bytes and one more.
std::string readFile(int fd, size_t bound);

// The processes started, and the one place that ends them all (process_started.cpp).
// Starts the child with every signal blocked here until it has left this process's memory, so
// that no handler of this process's runs in it. The child's ends of its streams are closed here
// before another thread can start a process, which would hold them (close-on-exec as they are)
// until it has closed its descriptors, and so keep a stream open after this child has ended.
pid_t spawn(Child &child, Plan (&plans)[3]);
// Copies `from` to a new file `to` that may be executed but not read; false, with errno, where it
// cannot. Under the lock that starts processes, so that no child started meanwhile holds the copy
// open for writing, which would make its exec fail (ETXTBSY).
bool execOnlyCopy(const std::string &from, const std::string &to);
// Reaps a child that spawn() started.
int reap(pid_t pid);

// Watching one process (process_supervise.cpp).
// Reads the streams as the child writes, so that it never blocks on a full pipe (unless the
// start asks for a slow reader, or for a signal once it blocks), until it has ended and every
// stream is at its end; or until its time runs out, it writes past a bound, or what it left
// keeps a stream open past the grace. Says why in `stopped` when it stops early.
void supervise(pid_t pid, Plan (&plans)[3], const Start &start, const Bounds &bounds,
               Finished &outcome, std::optional<Ending> &stopped);

} // namespace process::detail
