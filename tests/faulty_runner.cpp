// A runner with one fault of those real emulators, translators, loaders and sandboxes have had,
// chosen by its first argument; it then starts the program and its arguments with the
// environment it was given, as a correct runner would, but for that fault.
//   faulty-runner MODE [WORD] PROGRAM ARGUMENT...
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

extern char **environ;

namespace {

[[noreturn]] void start(char **argv) {
  execve(argv[0], argv, environ);
  std::perror("faulty-runner: cannot start the program");
  _exit(127);
}

} // namespace

int main(int argc, char **argv) {
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
    while (waitpid(child, &status, 0) < 0) {
    }
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
  } else {
    std::fprintf(stderr, "faulty-runner: no mode %s\n", argv[1]);
    return 2;
  }
  start(program);
}
