// Starts a program as a process of its own, with an empty environment, every signal at its
// default action and each standard stream set up as asked, waits for it and collects what it
// wrote. The process leads a process group of its own, and the whole group is killed when it
// ends, times out or writes past its bound, so that nothing it started outlives it. Shared by the
// checker, the test suite and the benchmark.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace process {

// What one of the child's standard streams is. Pipe is read back by the caller; BrokenPipe is a
// pipe whose reading end is already closed.
enum class Stream { Inherited, Pipe, Closed, DevNull, DevFull, BrokenPipe };

struct Streams {
  Stream in = Stream::DevNull, out = Stream::Pipe, err = Stream::Pipe;
};

struct Limits {
  std::chrono::milliseconds timeout{}; // zero: no limit
  // Bytes kept of each stream set up as Pipe; one more and the group is killed.
  size_t out = std::numeric_limits<size_t>::max(), err = std::numeric_limits<size_t>::max();
  // How messages name the process started: "the command", "the runner".
  std::string who = "the command";
};

struct Outcome {
  std::string notStarted; // why the command could not be started; empty when it was
  std::string failure;    // what this process could not have to start it (a pipe, a process)
  int status = 0;         // as waitpid reports it
  std::string killed;     // why its group was killed before it ended by itself; empty if it was not
  std::string out, err;   // what it wrote to the streams set up as Pipe
};

// Starts argv (argv[0] looked up on the PATH when it has no slash) and waits for it and for its
// pipes. Once it has ended, what it left holding a pipe has a short grace to close it.
Outcome run(const std::vector<std::string> &argv, const Streams &streams = {},
            const Limits &limits = {});

// Makes the processes that run() starts and that leave their process group (setsid) still this
// process's to end: their orphans are given to it rather than to init. Holds for the whole
// process, so call it once, before any thread starts.
void adoptOrphans();

// Ends and reaps every child that run() has not reaped: what the commands left that escaped
// their group. Call it when no run() is under way. Gives up after two seconds on any that
// cannot be ended.
void endOrphans();

// How it ended, in words: "exit 0", "signal SIGPIPE", "not started: ...", "timed out after 1 s".
std::string ending(const Outcome &outcome);

// A command line split at white space, the way the runners are given.
std::vector<std::string> words(const std::string &commandLine);

} // namespace process
