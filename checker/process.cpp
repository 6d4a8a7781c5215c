#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

namespace process {
namespace {

using Clock = std::chrono::steady_clock;

// Sets up standard stream `fd` of the child; returns the parent's end of its pipe, or -1.
int setUp(posix_spawn_file_actions_t &actions, int fd, Stream stream, std::vector<int> &writers) {
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
    return -1;
  posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
  writers.push_back(ends[1]);
  if (stream == Stream::Pipe)
    return ends[0];
  close(ends[0]);
  return -1;
}

// Reads both pipes as the child writes, so that it never blocks on a full one, until both are at
// their end or the deadline has passed. Closes both either way.
bool drain(int outFd, int errFd, Outcome &outcome, std::optional<Clock::time_point> deadline) {
  pollfd fds[] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string *into[] = {&outcome.out, &outcome.err};
  char buffer[1 << 16];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int wait = -1;
    if (deadline)
      wait = int(std::max<long>(
          0,
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count()));
    int ready = poll(fds, 2, wait);
    if (ready == 0) {
      for (auto &fd : fds)
        if (fd.fd >= 0)
          close(fd.fd);
      return false;
    }
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents)
        continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  return true;
}

// Waits for the child; with a deadline, polls for its end, sleeping a little longer each time.
bool reap(pid_t pid, int &status, std::optional<Clock::time_point> deadline) {
  if (!deadline)
    return waitpid(pid, &status, 0) == pid;
  for (auto pause = std::chrono::microseconds(50); Clock::now() < *deadline;
       pause = std::min(pause * 2, std::chrono::microseconds(10000))) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

} // namespace

Outcome run(const std::vector<std::string> &argv, const Streams &streams,
            std::chrono::milliseconds timeout) {
  std::optional<Clock::time_point> deadline;
  if (timeout.count() > 0)
    deadline = Clock::now() + timeout;
  std::vector<char *> pointers;
  for (const auto &word : argv)
    pointers.push_back(const_cast<char *>(word.c_str()));
  pointers.push_back(nullptr);
  char *noEnvironment[] = {nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::vector<int> writers;
  setUp(actions, 0, streams.in, writers);
  int outFd = setUp(actions, 1, streams.out, writers);
  int errFd = setUp(actions, 2, streams.err, writers);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  Outcome outcome;
  pid_t pid = 0;
  int error = argv.empty() ? EINVAL
                           : posix_spawnp(&pid, pointers[0], &actions, &attributes, pointers.data(),
                                          noEnvironment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : writers)
    close(fd);
  if (error) {
    outcome.notStarted = std::strerror(error);
    for (int fd : {outFd, errFd})
      if (fd >= 0)
        close(fd);
    return outcome;
  }
  if (!drain(outFd, errFd, outcome, deadline) || !reap(pid, outcome.status, deadline)) {
    outcome.timedOut = true;
    kill(pid, SIGKILL);
    waitpid(pid, &outcome.status, 0);
  }
  return outcome;
}

std::string ending(const Outcome &outcome) {
  if (!outcome.notStarted.empty())
    return "not started: " + outcome.notStarted;
  if (outcome.timedOut)
    return "timed out";
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
