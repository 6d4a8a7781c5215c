// The standard streams of a process: set up before it starts, read once it has ended.
#include "process_parts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace process::detail {

Plan plan(int fd, Stream stream, size_t pipeSize) {
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

} // namespace process::detail
