// support-programs-check: starts every case of the cases file as a process of its own, through
// a runner (an emulator, a loader, a sandbox) or directly, and compares what each writes and how
// it ends with what the case expects. Exit status: 0 when every case passes, 1 when any fails,
// 2 for bad use or a report that is not whole.
#include "check.hpp"
#include "fatal.hpp"
#include "interrupt.hpp"
#include "process.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/prctl.h>

#include <iostream>
#include <new>
#include <string>

namespace {

// The standard streams this process was started without are opened on /dev/null, so that no
// pipe takes their numbers; the report cannot be written where standard output was closed.
bool openStandardStreams() {
  bool outClosed = false;
  for (int fd = 0; fd < 3; ++fd)
    if (fcntl(fd, F_GETFD) < 0) {
      outClosed |= fd == 1;
      if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
        return false;
    }
  return !outClosed;
}
} // namespace

int main(int argc, char **argv) {
  // Nothing a runner starts outlives the check, even what leaves its process group; and no
  // runner that is not root reaches this process's descriptors through /proc.
  process::adoptOrphans();
  prctl(PR_SET_DUMPABLE, 0);
  struct EndOrphans {
    ~EndOrphans() {
      process::endOrphans();
      for (const std::string &failure : process::removeWorkingFolders())
        std::cerr << "support-programs-check: cannot remove a working folder: "
                  << text::escaped(failure) << "\n";
    }
  } endOrphans;
  try {
    if (!openStandardStreams())
      throw Fatal("cannot write the report: standard output is closed");
    int status = checkAll(argc, argv);
    interrupt::check();
    return status;
  } catch (const interrupt::Interrupted &stopped) {
    interrupt::end(stopped.signal);
  } catch (const std::exception &error) {
    if (int signal = interrupt::signal())
      interrupt::end(signal);
    std::string what = dynamic_cast<const std::bad_alloc *>(&error)
                           ? "out of memory (" + std::string(error.what()) + ")"
                           : error.what();
    // One line, whatever bytes came from outside.
    std::string line;
    for (char c : what)
      line += c >= 0x20 && c < 0x7f ? std::string(1, c) : text::escaped(std::string_view(&c, 1));
    std::cerr << "support-programs-check: " << line << "\n";
    return 2;
  }
}
