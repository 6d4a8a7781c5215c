// The signals that would end the checker. Each is taken by a thread of its own: the first ends
// every process the checker has started, stops the run, and the checker then says so in one line
// and ends by that same signal, as a shell expects of a program that Ctrl-C stopped. SIGCHLD
// reaps the orphans the checker adopts; SIGPIPE and SIGXFSZ are ignored, so that a report that
// cannot be written is an error that says so. SIGKILL and SIGSTOP cannot be caught.
#pragma once

#include "fatal.hpp"

namespace interrupt {

// Call first, before any thread starts: every thread started after inherits the mask. Throws
// Fatal where no thread can be had.
void watch();

// The signal that stopped the run, or 0.
int signal();

// Thrown where the run stops for a signal.
struct Interrupted : Fatal {
  explicit Interrupted(int signal);
  int signal;
};

// Throws Interrupted where a signal has stopped the run.
void check();

// Says in one line that the run was interrupted, ends what is left, and ends this process by the
// signal.
[[noreturn]] void end(int signal);

} // namespace interrupt
