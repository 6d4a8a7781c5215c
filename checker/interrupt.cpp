#include "interrupt.hpp"

#include "process.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

namespace interrupt {
namespace {

std::atomic<int> caught = 0;
std::atomic<bool> ending = false;
sigset_t watched;

// How long the run has, once told to stop, to end by itself before the watcher ends it.
constexpr std::chrono::seconds stopWithin{2};

std::string interruptedBy(int signal) {
  return "interrupted by " + process::signalName(signal) + ": the report is not whole";
}

} // namespace

Interrupted::Interrupted(int signal) : Fatal(interruptedBy(signal)), signal(signal) {}

void watch() {
  // Every signal whose default action ends the process, SIGKILL aside, and the C library's
  // real-time ones; a signal this process was started with ignored stays ignored.
  sigemptyset(&watched);
  for (int s :
       {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
        SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,  SIGPWR,  SIGSYS})
    sigaddset(&watched, s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
    sigaddset(&watched, s);
  sigaddset(&watched, SIGCHLD);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // Ignored, the kernel would reap every child at once, and no end could be waited for.
  ::signal(SIGCHLD, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &watched, nullptr);
  std::thread watcher;
  try {
    watcher = std::thread([] {
      for (;;) {
        int s = 0;
        if (sigwait(&watched, &s) != 0)
          continue;
        if (s == SIGCHLD) {
          process::reapOrphans();
          continue;
        }
        int expected = 0;
        if (!caught.compare_exchange_strong(expected, s))
          continue;
        process::endAll();
        std::this_thread::sleep_for(stopWithin);
        end(s);
      }
    });
  } catch (const std::system_error &error) {
    pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
    throw Fatal("cannot start a thread: " + error.code().message());
  }
  watcher.detach();
}

int signal() { return caught; }

void check() {
  if (int s = caught)
    throw Interrupted(s);
}

void end(int s) {
  if (ending.exchange(true))
    for (;;)
      pause();
  std::string said = "support-programs-check: " + interruptedBy(s) + "\n";
  (void)!write(2, said.data(), said.size());
  process::endAll();
  process::endOrphans();
  process::removeWorkingFolders();
  ::signal(s, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, s);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(s);
  _exit(128 + s); // a signal this process cannot end by
}

} // namespace interrupt
