// A runner with one fault of those real emulators, translators, loaders and sandboxes have had,
// chosen by its first argument; it then starts the program and its arguments with the
// environment it was given, as a correct runner would, but for that fault.
//   faulty-runner MODE [WORD] PROGRAM ARGUMENT...
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

extern char **environ;

namespace {

[[noreturn]] void start(char **argv) {
  execve(argv[0], argv, environ);
  std::perror("faulty-runner: cannot start the program");
  _exit(127);
}

// Started by the kernel as a binfmt_misc interpreter, under a name "binfmt-MODE" (the kernel
// gives an interpreter no words of its own): argv[1] is the program's path, and where the
// registration has P (AT_FLAGS says so) argv[2] is the argv[0] it was executed with. Starts it
// through qemu, as a correct interpreter would, but for MODE's fault: "correct" has none;
// "passes-argv0-on" also passes the preserved argv[0] on as an argument, as a wrapper did;
// "drops-argv0" leaves it out of the vector, so that the program's first argument takes its
// place; "ignores-execfd" opens the program by its path where the kernel gave a descriptor of it
// (O), which fails for a program that may be executed but not read. Where there is a descriptor,
// qemu gets the program through a readable copy of it, since qemu opens what it starts.
[[noreturn]] void interpret(std::string_view mode, int argc, char **argv) {
  bool preserved = getauxval(AT_FLAGS) & 1; // AT_FLAGS_PRESERVE_ARGV0
  if (argc < 2 + preserved) {
    std::fputs("faulty-runner: started as an interpreter with no program\n", stderr);
    _exit(2);
  }
  char *path = argv[1], *argv0 = preserved ? argv[2] : argv[1];
  char **rest = argv + 2 + preserved;
  // The processor's qemu, from the program's ELF header (e_machine, little-endian).
  unsigned char header[20] = {};
  int given = int(getauxval(AT_EXECFD)); // 0 where the kernel gave none (never standard input)
  int fd = given && mode != "ignores-execfd" ? given : open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || pread(fd, header, sizeof header, 0) != ssize_t(sizeof header)) {
    std::perror("faulty-runner: cannot read the program");
    _exit(2);
  }
  static char copied[32];
  if (fd == given) {
    int copy = memfd_create("program", 0);
    off_t at = 0;
    struct stat status;
    if (copy < 0 || fstat(fd, &status) != 0 ||
        sendfile(copy, fd, &at, size_t(status.st_size)) != status.st_size) {
      std::perror("faulty-runner: cannot copy the program");
      _exit(2);
    }
    std::snprintf(copied, sizeof copied, "/proc/self/fd/%d", copy);
    path = copied;
  }
  close(fd);
  const char *qemu = header[18] == 3    ? "/usr/bin/qemu-i386"
                     : header[18] == 62 ? "/usr/bin/qemu-x86_64"
                                        : nullptr;
  if (!qemu) {
    std::fputs("faulty-runner: as an interpreter, it starts i386 and amd64 programs alone\n",
               stderr);
    _exit(2);
  }
  std::vector<char *> words = {const_cast<char *>(qemu), const_cast<char *>("-0")};
  if (mode == "drops-argv0") {
    words.push_back(*rest ? *rest++ : path);
  } else {
    words.push_back(argv0);
  }
  words.push_back(path);
  if (mode == "passes-argv0-on" && preserved)
    words.push_back(argv0);
  for (; *rest; ++rest)
    words.push_back(*rest);
  words.push_back(nullptr);
  execve(qemu, words.data(), environ);
  std::perror("faulty-runner: cannot start qemu");
  _exit(127);
}

} // namespace

int main(int argc, char **argv) {
  if (std::string_view name = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
      name.starts_with("binfmt-"))
    interpret(name.substr(7), argc, argv);
  if (argc < 3) {
    std::fputs("usage: faulty-runner MODE [WORD] PROGRAM ARGUMENT...\n", stderr);
    return 2;
  }
  std::string_view mode = argv[1];
  char **program = argv + 2;
  int arguments = argc - 3;
  if (mode == "table-of-256") { // a fixed table of argument pointers
    if (arguments > 256) {
      std::fputs("faulty-runner: too many arguments\n", stderr);
      return 1;
    }
  } else if (mode == "misaligned") { // a stack that ends misaligned for some sizes of the strings
    size_t total = 0;
    for (int i = 3; i < argc; ++i)
      total += std::strlen(argv[i]);
    if (arguments >= 1 && arguments <= 64 && total % 16 == 12)
      raise(SIGSEGV);
  } else if (mode == "misaligned-for-odd-sizes") { // misaligned where the strings' size is odd
    size_t total = 0;
    bool plain = true;
    for (int i = 3; i < argc; ++i) {
      total += std::strlen(argv[i]) + 1;
      plain &=
          *argv[i] && std::string_view(argv[i]).find_first_not_of('a') == std::string_view::npos;
    }
    if (arguments >= 1 && arguments <= 64 && plain && total % 2 == 1)
      raise(SIGSEGV);
  } else if (mode == "stack-of-8-MiB") { // a guest stack sized once, whatever the limit says
    rlimit limit{8 << 20, 8 << 20};
    getrlimit(RLIMIT_STACK, &limit);
    limit.rlim_cur = 8 << 20;
    setrlimit(RLIMIT_STACK, &limit);
  } else if (mode == "asserts-on-environment") { // an entry it cannot parse
    for (char **entry = environ; *entry; ++entry)
      if (!std::strchr(*entry, '='))
        abort();
  } else if (mode == "resets-signals") { // every disposition and the mask back to the default
    for (int number = 1; number < NSIG; ++number)
      ::signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
  } else if (mode == "does-not-forward") { // a supervisor that passes no signal on
    pid_t child = fork();
    if (child == 0)
      start(program);
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
      if (errno == ECHILD) // reaped already, where SIGCHLD is ignored
        return 0;
    if (WIFSIGNALED(status)) {
      ::signal(WTERMSIG(status), SIG_DFL);
      raise(WTERMSIG(status));
    }
    return WEXITSTATUS(status);
  } else if (mode == "non-blocking-output") { // leaves standard output non-blocking
    fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
  } else if (mode == "raw-terminal") { // mistranslates the terminal's settings
    termios settings;
    if (tcgetattr(1, &settings) == 0) {
      settings.c_oflag &= ~tcflag_t(OPOST);
      tcsetattr(1, TCSANOW, &settings);
    }
  } else if (mode == "reopens-output") { // reopens standard output through /proc
    struct stat status;
    int again = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (again < 0 && fstat(1, &status) == 0 && S_ISSOCK(status.st_mode)) {
      std::perror("faulty-runner: cannot reopen standard output");
      return 1;
    }
    if (again >= 0)
      close(again);
  } else if (mode == "needs-a-standard-stream") { // takes descriptor 0, 1 or 2 for itself
    if (fcntl(0, F_GETFD) < 0 && fcntl(1, F_GETFD) < 0 && fcntl(2, F_GETFD) < 0)
      return 1;
  } else if (mode == "fails-a-third-start") { // a race: fails once in many starts
    // WORD: the start of the names of the files that count the starts of exit-zero with no
    // arguments.
    std::string counter = *program++;
    if (std::string_view(program[0]).ends_with("/exit-zero") && !program[1]) {
      // This start's number: the first of COUNTER.1, COUNTER.2, ... that it can make, which
      // no other start can make too.
      int number = 1;
      for (; number < 1000; ++number) {
        int made = open((counter + "." + std::to_string(number)).c_str(),
                        O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (made >= 0) {
          close(made);
          break;
        }
      }
      if (number == 3)
        return 1;
    }
  } else if (mode == "forwards-late") { // no fault: passes every signal on, 50 ms after it
    sigset_t passed;
    sigemptyset(&passed);
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGTRAP, SIGTERM, SIGSYS, SIGUSR1})
      sigaddset(&passed, number);
    sigprocmask(SIG_BLOCK, &passed, nullptr);
    pid_t child = fork();
    if (child == 0) {
      sigprocmask(SIG_UNBLOCK, &passed, nullptr);
      start(program);
    }
    int got = signalfd(-1, &passed, SFD_CLOEXEC);
    for (int status = 0;;) {
      pid_t ended = waitpid(child, &status, WNOHANG);
      if (ended == child || (ended < 0 && errno == ECHILD)) {
        if (ended == child && WIFSIGNALED(status)) {
          ::signal(WTERMSIG(status), SIG_DFL);
          sigprocmask(SIG_UNBLOCK, &passed, nullptr);
          raise(WTERMSIG(status));
        }
        return ended == child ? WEXITSTATUS(status) : 0;
      }
      pollfd polled = {got, POLLIN, 0};
      if (poll(&polled, 1, 5) == 1) {
        signalfd_siginfo info;
        if (read(got, &info, sizeof info) == ssize_t(sizeof info)) {
          usleep(50'000);
          kill(child, int(info.ssi_signo));
        }
      }
    }
  } else if (mode == "writes-its-code") { // writes a file of its own, as a JIT's memfd is
    int code = memfd_create("faulty-runner", MFD_CLOEXEC);
    if (code < 0 || ftruncate(code, 1 << 20) != 0) {
      std::perror("faulty-runner: cannot write its code");
      return 1;
    }
  } else if (mode == "reserves-its-guest") { // reserves 16 GiB of address space for its guest
    if (mmap(nullptr, size_t(16) << 30, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
             0) == MAP_FAILED) {
      std::perror("faulty-runner: cannot reserve the guest's address space");
      return 1;
    }
  } else if (mode == "translates-into-data") { // a translation buffer of 512 MiB, counted as data
    if (mmap(nullptr, size_t(512) << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
             0) == MAP_FAILED) {
      std::perror("faulty-runner: cannot map its translation buffer");
      return 1;
    }
  } else if (mode == "drains-input") { // reads standard input ahead, for a guest that may
    char buffer[4096];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
  } else if (mode == "drops-append") { // reopens a file as standard output without O_APPEND
    struct stat status;
    if (fstat(1, &status) == 0 && S_ISREG(status.st_mode)) {
      int again = open("/proc/self/fd/1", O_WRONLY | O_CLOEXEC);
      if (again >= 0)
        dup2(again, 1);
    }
  } else if (mode == "needs-its-folder") { // names its working folder at the start
    char folder[4096];
    if (!getcwd(folder, sizeof folder)) {
      std::perror("faulty-runner: getcwd");
      return 1;
    }
  } else if (mode == "needs-a-temporary-file") { // writes a file of its own in TMPDIR
    const char *dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/faulty-runner.XXXXXX";
    int made = mkstemp(name.data());
    if (made < 0) {
      std::perror("faulty-runner: cannot make a temporary file");
      return 1;
    }
    unlink(name.c_str());
    close(made);
  } else if (mode == "traces") { // a tracer, which cannot start where ptrace is denied
    errno = 0;
    if (ptrace(PTRACE_ATTACH, -1, nullptr, nullptr) < 0 && errno == EPERM) {
      std::perror("faulty-runner: ptrace");
      return 1;
    }
  } else if (mode == "needs-privileges") { // a setuid sandbox, which no new privileges stop
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1) {
      std::fputs("faulty-runner: no new privileges: cannot become root\n", stderr);
      return 1;
    }
  } else if (mode == "leaves-a-helper") { // a helper that outlives it, with what it inherited
    if (fork() == 0) {
      setsid();
      for (int fd = 0; fd < 3; ++fd)
        close(fd);
      sleep(2);
      _exit(0);
    }
  } else if (mode == "waits-through-signalfd") { // a supervisor that waits for SIGCHLD
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, nullptr);
    int ended = signalfd(-1, &child, SFD_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
      sigprocmask(SIG_UNBLOCK, &child, nullptr);
      start(program);
    }
    pollfd polled = {ended, POLLIN, 0};
    if (poll(&polled, 1, 3000) != 1) { // ignored, SIGCHLD never comes: given up after a while
      std::fputs("faulty-runner: the program never ended\n", stderr);
      return 1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
      ::signal(WTERMSIG(status), SIG_DFL);
      sigprocmask(SIG_UNBLOCK, &child, nullptr);
      raise(WTERMSIG(status));
    }
    return WEXITSTATUS(status);
  } else if (mode == "needs-proc") { // reads its own map, as valgrind does at its start
    if (access("/proc/self/maps", R_OK) != 0) {
      std::fputs("faulty-runner: FATAL: can't open /proc/self/maps\n", stderr);
      return 1;
    }
  } else if (mode == "starts-a-thread") { // a thread of its own beside the guest, as qemu's RCU
    pthread_t thread;
    int error = pthread_create(
        &thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    if (error) {
      std::fprintf(stderr, "faulty-runner: thread_create: %s\n", std::strerror(error));
      std::abort();
    }
    pthread_join(thread, nullptr);
  } else if (mode == "sleeps-first") { // as one that closes every descriptor up to 2^30 would
    usleep(300'000);
  } else {
    std::fprintf(stderr, "faulty-runner: no mode %s\n", argv[1]);
    return 2;
  }
  start(program);
}
