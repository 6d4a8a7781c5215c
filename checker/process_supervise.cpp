// Watching one process: its streams read as it writes, its bounds of time and size, the signal
// a case sends it.
#include "process_parts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <limits>
#include <sstream>

namespace process::detail {
namespace {

// Seconds in words: "1", "0.25".
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

} // namespace

// The states: Running until the process ends; then Draining, for at most the grace, until every
// stream is at its end.
void supervise(pid_t pid, Plan (&plans)[3], const Start &start, const Bounds &bounds,
               Finished &outcome, std::optional<Ending> &stopped) {
  enum class State { Running, Draining } state = State::Running;
  auto now = Clock::now();
  std::optional<Clock::time_point> deadline, graceEnd, nextRead;
  auto fullSince = Clock::time_point::max(); // since when standard output has been full
  if (bounds.timeout.count() > 0)
    deadline = now + bounds.timeout;
  bool sent = start.send == 0;
  auto holdUntil = Clock::time_point::min(); // standard output unread till then, once sent
  // Readable once it has ended; where the kernel has none, the loop polls for the end.
  Fd pidFd(int(syscall(SYS_pidfd_open, pid, 0)));
  // A regular file as standard output is read once the process has ended, but bounded while it
  // runs: each write to it wakes this loop, which ends the process once the file is past its
  // bound; where the kernel cannot say when it is written, the loop looks every 10 ms.
  Fd fileWrites;
  const int file = plans[1].file.get();
  if (file >= 0 && bounds.out != std::numeric_limits<size_t>::max()) {
    fileWrites.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    std::string self = "/proc/self/fd/" + std::to_string(file);
    if (fileWrites.get() >= 0 && inotify_add_watch(fileWrites.get(), self.c_str(), IN_MODIFY) < 0)
      fileWrites.reset();
  }
  auto fileTooLong = [&] {
    struct stat status;
    if (file < 0 || bounds.out == std::numeric_limits<size_t>::max() || fstat(file, &status) != 0 ||
        size_t(status.st_size) <= bounds.out)
      return false;
    stopped =
        Ending{Ending::Kind::TooMuch, 0,
               "wrote more than " + std::to_string(bounds.out) + " bytes on " + streamNames[0]};
    return true;
  };
  Fd *fds[2] = {&plans[1].reader, &plans[2].reader};
  std::string *into[] = {&outcome.out, &outcome.err};
  const size_t bound[] = {bounds.out, bounds.err};
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
      stopped = Ending{Ending::Kind::TimedOut, int(bounds.timeout.count()),
                       "timed out after " + seconds(bounds.timeout) + " s"};
      return;
    }
    if (state == State::Draining && now >= *graceEnd) {
      std::string held =
          open[0] && open[1] ? "standard output and standard error" : streamNames[open[0] ? 0 : 1];
      stopped = Ending{Ending::Kind::PipesHeld, 0,
                       bounds.who + " ended but a process it started kept " + held + " open"};
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

} // namespace process::detail
