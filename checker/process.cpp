#include "process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

namespace process {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long what a command left behind may keep its pipes open after it has ended.
constexpr milliseconds grace{250};

const char *const streamNames[] = {"standard output", "standard error"};

// Sets up standard stream `fd` of the child; returns the parent's end of its pipe, or -1.
// Throws the reason when no pipe can be had.
int setUp(posix_spawn_file_actions_t &actions, int fd, Stream stream, std::vector<int> &owned) {
  switch (stream) {
  case Stream::Inherited:
    return -1;
  case Stream::Closed:
    posix_spawn_file_actions_addclose(&actions, fd);
    return -1;
  case Stream::DevNull:
  case Stream::DevFull:
    posix_spawn_file_actions_addopen(&actions, fd,
                                     stream == Stream::DevNull ? "/dev/null" : "/dev/full",
                                     fd == 0 ? O_RDONLY : O_WRONLY, 0);
    return -1;
  case Stream::Pipe:
  case Stream::BrokenPipe:
    break;
  }
  // Close-on-exec, so that no other child started meanwhile holds an end open.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    throw std::string("cannot make a pipe: ") + std::strerror(errno);
  owned.push_back(ends[1]);
  posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
  if (stream == Stream::Pipe)
    return ends[0];
  close(ends[0]);
  return -1;
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

// Reads the pipes as the child writes, so that it never blocks on a full one, until it has ended
// and both pipes are at their end; or until its time runs out, it writes past a bound, or what
// it left keeps a pipe open past the grace. Says why in outcome.killed when it stops early.
void supervise(pid_t pid, int fds[2], const Limits &limits, Outcome &outcome) {
  std::optional<Clock::time_point> deadline, graceEnd;
  if (limits.timeout.count() > 0)
    deadline = Clock::now() + limits.timeout;
  // Readable once it has ended; where the kernel has none, the loop polls for the end.
  int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
  std::string *into[] = {&outcome.out, &outcome.err};
  const size_t bound[] = {limits.out, limits.err};
  char buffer[1 << 16];
  for (;;) {
    if (!graceEnd && ended(pid))
      graceEnd = Clock::now() + grace;
    if (graceEnd && fds[0] < 0 && fds[1] < 0)
      break;
    auto now = Clock::now();
    if (deadline && now >= *deadline) {
      outcome.killed = "timed out after " + seconds(limits.timeout) + " s";
      break;
    }
    if (graceEnd && now >= *graceEnd) {
      std::string held = fds[0] >= 0 && fds[1] >= 0 ? "standard output and standard error"
                                                    : streamNames[fds[0] >= 0 ? 0 : 1];
      outcome.killed = limits.who + " ended but a process it started kept " + held + " open";
      break;
    }
    std::optional<Clock::time_point> until = deadline;
    if (graceEnd)
      until = until ? std::min(*until, *graceEnd) : *graceEnd;
    if (!graceEnd && pidFd < 0)
      until = until ? std::min(*until, now + milliseconds(10)) : now + milliseconds(10);
    int wait =
        until ? int(std::max<long>(0, std::chrono::ceil<milliseconds>(*until - now).count())) : -1;
    pollfd polled[] = {
        {fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {graceEnd ? -1 : pidFd, POLLIN, 0}};
    if (poll(polled, 3, wait) < 0 && errno != EINTR) {
      outcome.failure = std::string("cannot wait for a process: ") + std::strerror(errno);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !polled[i].revents)
        continue;
      ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0 && into[i]->size() + size_t(n) > bound[i]) {
        into[i]->append(buffer, bound[i] - into[i]->size());
        outcome.killed =
            "wrote more than " + std::to_string(bound[i]) + " bytes on " + streamNames[i];
        break;
      }
      if (n > 0) {
        into[i]->append(buffer, size_t(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
    if (!outcome.killed.empty())
      break;
  }
  if (pidFd >= 0)
    close(pidFd);
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

void adoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

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

Outcome run(const std::vector<std::string> &argv, const Streams &streams, const Limits &limits) {
  Outcome outcome;
  std::vector<char *> pointers;
  for (const auto &word : argv)
    pointers.push_back(const_cast<char *>(word.c_str()));
  pointers.push_back(nullptr);
  char *noEnvironment[] = {nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::vector<int> writers;
  int fds[2] = {-1, -1};
  auto closeAll = [&] {
    for (int fd : writers)
      close(fd);
    writers.clear();
  };
  try {
    setUp(actions, 0, streams.in, writers);
    fds[0] = setUp(actions, 1, streams.out, writers);
    fds[1] = setUp(actions, 2, streams.err, writers);
  } catch (const std::string &why) {
    outcome.failure = why;
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  pid_t pid = 0;
  int error = 0;
  if (outcome.failure.empty())
    error = argv.empty() ? EINVAL
                         : posix_spawnp(&pid, pointers[0], &actions, &attributes, pointers.data(),
                                        noEnvironment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  closeAll();
  if (!outcome.failure.empty() || error) {
    if (error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE)
      outcome.failure = std::string("cannot start a process: ") + std::strerror(error);
    else if (error)
      outcome.notStarted = std::strerror(error);
    for (int fd : fds)
      if (fd >= 0)
        close(fd);
    return outcome;
  }
  supervise(pid, fds, limits, outcome);
  // Whatever it started and left behind ends with it; it too, where it has not ended by itself.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
  while (waitpid(pid, &outcome.status, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

std::string ending(const Outcome &outcome) {
  if (!outcome.failure.empty())
    return "not started: " + outcome.failure;
  if (!outcome.notStarted.empty())
    return "not started: " + outcome.notStarted;
  if (!outcome.killed.empty())
    return outcome.killed;
  if (WIFEXITED(outcome.status))
    return "exit " + std::to_string(WEXITSTATUS(outcome.status));
  const char *name = sigabbrev_np(WTERMSIG(outcome.status));
  return "signal " + (name ? "SIG" + std::string(name) : std::to_string(WTERMSIG(outcome.status)));
}

std::vector<std::string> words(const std::string &commandLine) {
  std::vector<std::string> result;
  std::istringstream in(commandLine);
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

} // namespace process
