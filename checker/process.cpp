// Starting a process as a case asks, and how it ended (process.hpp). The parts are in files of
// their own: working folders, the streams, the processes started, the watching of one.
#include "process.hpp"

#include "process_parts.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

namespace process {

using namespace detail;

std::string located(const std::string &name) {
  std::error_code error;
  if (name.find('/') != std::string::npos)
    return std::filesystem::absolute(name, error);
  const char *search = std::getenv("PATH");
  std::string folders = search ? search : "/usr/bin:/bin";
  for (size_t from = 0;;) {
    size_t to = std::min(folders.find(':', from), folders.size());
    std::string folder = folders.substr(from, to - from);
    std::string path = (folder.empty() ? "." : folder) + "/" + name;
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        access(path.c_str(), X_OK) == 0)
      return std::filesystem::absolute(path, error).lexically_normal();
    if (to == folders.size())
      return "";
    from = to + 1;
  }
}

Finished run(const Start &start, const Bounds &bounds) {
  Finished outcome;
  auto began = Clock::now();
  std::string folder; // the working folder, where the start asks for an empty one
  std::string link;   // a link the case asks for in that folder, which it did not leave there
  auto finish = [&](Ending ending) {
    if (!link.empty())
      unlink(link.c_str());
    if (!folder.empty())
      outcome.left = giveBackFolder(folder);
    outcome.ending = std::move(ending);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    return outcome;
  };
  if (!start.notArranged.empty())
    return finish({Ending::Kind::NotArranged, 0, start.notArranged});
  if (start.argv.empty() && start.path.empty())
    return finish({Ending::Kind::NotStarted, 0, std::strerror(EINVAL)});
  std::string path = start.path.empty() ? located(start.argv[0]) : start.path;
  if (path.empty())
    return finish({Ending::Kind::NotStarted, 0, std::strerror(ENOENT)});
  std::vector<char *> argv, envp;
  for (const auto &word : start.argv)
    argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  for (const auto &entry : start.environment)
    envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);

  Plan plans[3];
  const Stream kinds[3] = {start.streams.in, start.streams.out, start.streams.err};
  try {
    for (int fd = 0; fd < 3; ++fd)
      plans[fd] = plan(fd, kinds[fd], fd == 1 ? start.pipeSize : 0);
  } catch (const std::string &failure) {
    return finish({Ending::Kind::Failure, 0, failure});
  }
  // Room for all that is read back of a file stream, kept before the start: a full TMPDIR is
  // then this process's failure to start the case, never an error that the program meets.
  const size_t kept[3] = {0, bounds.out, bounds.err};
  for (int fd = 1; fd < 3; ++fd)
    if (plans[fd].file.get() >= 0 && kept[fd] < (size_t(1) << 30) &&
        fallocate(plans[fd].file.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(kept[fd]) + 1) != 0 &&
        (errno == ENOSPC || errno == EDQUOT))
      return finish({Ending::Kind::Failure, 0,
                     why(("TMPDIR is full: no room for " + std::to_string(kept[fd] + 1) +
                          " bytes of a file stream in " + temporary())
                             .c_str())});
  std::string failure;
  if (start.freshFolder && (folder = takeFolder(failure)).empty())
    return finish({Ending::Kind::Failure, 0, failure});
  if (!folder.empty() && !start.linkName.empty()) {
    std::string made = folder + "/" + start.linkName;
    link = made;
    if (start.execOnly ? !execOnlyCopy(start.linkTo, made)
                       : symlink(start.linkTo.c_str(), made.c_str()) != 0)
      return finish(
          {Ending::Kind::Failure, 0,
           why(("cannot make " + std::string(start.execOnly ? "the copy " : "the link ") + made)
                   .c_str())});
  }
  Child child;
  child.path = path.c_str();
  child.dir = folder.empty() ? nullptr : folder.c_str();
  child.argv = argv.data();
  child.envp = envp.data();
  for (int fd = 0; fd < 3; ++fd) {
    child.source[fd] = plans[fd].source;
    child.closed[fd] = plans[fd].closed;
  }
  // Descriptor 3: the writing end of a pipe whose reading end stays here.
  Fd passed, passedReader;
  if (start.passesPipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      return finish({Ending::Kind::Failure, 0, why("cannot make a pipe")});
    passedReader.reset(ends[0]);
    passed.reset(ends[1]);
    child.source[3] = ends[1];
    child.count = 4;
  }
  child.noNewPrivileges = start.noNewPrivileges;
  child.folderDeleted = start.folderDeleted && !folder.empty();
  if (start.procHidden && geteuid() != 0)
    return finish({Ending::Kind::NotArranged, 0,
                   "hiding /proc takes a mount namespace of its own, which takes root: run the "
                   "checker as root"});
  child.hideProc = start.procHidden;
  child.noCapabilities = start.execOnly;
  // One process at most: root, whom RLIMIT_NPROC does not hold, through a cgroup.
  std::vector<Limit> limitsHere = start.limits;
  std::optional<OneProcessCgroup> cgroup;
  if (start.oneProcess && geteuid() == 0) {
    try {
      child.cgroupProcesses = cgroup.emplace().processes();
    } catch (const std::string &failure) {
      return finish(
          {Ending::Kind::NotArranged, 0,
           "one process at most takes a pids cgroup where the checker runs as root: " + failure});
    }
  } else if (start.oneProcess) {
    limitsHere.push_back({RLIMIT_NPROC, 1, false});
  }
  // ptrace fails with EPERM; every other call is let through.
  sock_filter denyPtrace[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{sizeof denyPtrace / sizeof *denyPtrace, denyPtrace};
  if (start.ptraceDenied)
    child.filter = &filter;
  child.limits = &limitsHere;
  child.ignored = &start.ignored;
  child.lastSignal = SIGRTMAX;
  child.sigsetSize = size_t(SIGRTMAX + 1) / 8;
  sigemptyset(&child.mask);
  for (int signal : start.blocked)
    sigaddset(&child.mask, signal);

  pid_t pid = spawn(child, plans);
  passed.reset();
  if (pid < 0) {
    int error = errno;
    return finish(
        {error == EAGAIN || error == ENOMEM ? Ending::Kind::Failure : Ending::Kind::NotStarted, 0,
         std::string(error == EAGAIN || error == ENOMEM ? "cannot start a process: " : "") +
             std::strerror(error)});
  }
  if (child.error) {
    reap(pid);
    int error = child.error;
    if (child.arranging)
      return finish({Ending::Kind::NotArranged, 0,
                     std::string(child.arranging) + ": " + std::strerror(error)});
    if (error == EMFILE || error == ENFILE || error == ENOMEM)
      return finish({Ending::Kind::Failure, 0,
                     std::string("cannot start a process: ") + std::strerror(error)});
    return finish({Ending::Kind::NotStarted, 0, std::strerror(error)});
  }
  std::optional<Ending> stopped;
  supervise(pid, plans, start, bounds, outcome, stopped);
  // Descriptor 3 closed everywhere once the process has ended: what it started has the grace
  // that the streams have.
  if (!stopped && passedReader.get() >= 0 && !atEnd(passedReader.get(), grace))
    stopped = Ending{Ending::Kind::PipesHeld, 0,
                     bounds.who + " ended but a process it started kept descriptor 3 open"};
  if (start.streams.in == Stream::PipeWithData)
    outcome.in = unread(plans[0].reader.get());
  // Whatever it started and left behind ends with it; it too, where it has not ended by itself.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  for (Plan &p : plans)
    p.reader.reset();
  int status = reap(pid);
  if (!stopped && plans[1].file.get() >= 0) {
    outcome.out = readFile(plans[1].file.get(), bounds.out);
    if (outcome.out.size() > bounds.out) {
      outcome.out.resize(bounds.out);
      stopped =
          Ending{Ending::Kind::TooMuch, 0,
                 "wrote more than " + std::to_string(bounds.out) + " bytes on " + streamNames[0]};
    }
  }
  if (stopped)
    return finish(*stopped);
  return finish(WIFEXITED(status) ? Ending::exited(WEXITSTATUS(status))
                                  : Ending::signaled(WTERMSIG(status)));
}

Finished run(const std::vector<std::string> &argv, const Streams &streams, const Bounds &bounds) {
  Start start;
  start.argv = argv;
  start.streams = streams;
  return run(start, bounds);
}

std::string signalName(int signal) {
  const char *name = sigabbrev_np(signal);
  return name ? "SIG" + std::string(name) : std::to_string(signal);
}

std::string Ending::text() const {
  switch (kind) {
  case Kind::Exited:
    return "exit " + std::to_string(code);
  case Kind::Signaled:
    return "signal " + signalName(code);
  case Kind::NotStarted:
  case Kind::Failure:
    return "not started: " + detail;
  case Kind::NotArranged:
    return "not arranged: " + detail;
  default:
    return detail;
  }
}

std::vector<std::string> words(const std::string &commandLine) {
  std::vector<std::string> result;
  std::istringstream in(commandLine);
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

} // namespace process
