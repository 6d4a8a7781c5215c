// Starts a program as a process of its own, with an empty environment, every signal at its
// default action and each standard stream set up as asked, waits for it and collects what it
// wrote. Shared by the checker, the test suite and the benchmark.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace process {

// What one of the child's standard streams is. Pipe is read back by the caller; BrokenPipe is a
// pipe whose reading end is already closed.
enum class Stream { Inherited, Pipe, Closed, DevNull, DevFull, BrokenPipe };

struct Streams {
  Stream in = Stream::DevNull, out = Stream::Pipe, err = Stream::Pipe;
};

struct Outcome {
  std::string notStarted; // why the command could not be started; empty when it was
  int status = 0;         // as waitpid reports it
  bool timedOut = false;  // killed when the time ran out
  std::string out, err;   // what it wrote to the streams set up as Pipe
};

// Starts argv (argv[0] looked up on the PATH when it has no slash) and waits for it; a child
// still running after `timeout` (zero: no limit) is killed.
Outcome run(const std::vector<std::string> &argv, const Streams &streams = {},
            std::chrono::milliseconds timeout = {});

// How it ended, in words: "exit 0", "signal SIGPIPE", "not started: ...", "timed out".
std::string ending(const Outcome &outcome);

// A command line split at white space, the way the runners are given.
std::vector<std::string> words(const std::string &commandLine);

} // namespace process
