// Stands in for all three programs, by the name of the file it is executed as (which a case's
// argv[0] does not change; a link's name ends with the program's), with one fault chosen when it
// is built (FAULT), so that the tests can check that the checker catches each. FAULT=none builds
// them right.
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

enum class Fault {
  none,
  trailing_space,  // print-args writes a space after every argument, the last one too
  format_argument, // print-sentence uses its argument as printf's format
  exit_one,        // exit-zero ends with status 1 when it has arguments
  byte_on_stderr,  // print-args writes one byte to standard error
  missing_newline, // print-args ends without its newline
  lost_on_pipe,    // output is never flushed when standard output is a pipe
};
constexpr Fault fault = Fault::FAULT;

int main(int argc, char *argv[]) {
  const char *executed = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
  std::string_view name = executed ? executed : argv[0];
  name.remove_prefix(name.rfind('/') + 1);
  if (name.ends_with("print-args")) {
    for (int i = 1; i < argc; ++i) {
      std::fputs(argv[i], stdout);
      if (i + 1 < argc || fault == Fault::trailing_space)
        std::fputc(' ', stdout);
    }
    if (fault != Fault::missing_newline)
      std::fputc('\n', stdout);
    if (fault == Fault::byte_on_stderr)
      std::fputc('.', stderr);
  } else if (name.ends_with("print-sentence")) {
    std::fputs("This is a test ", stdout);
#pragma GCC diagnostic ignored "-Wformat-security"
    if (fault == Fault::format_argument && argc > 1)
      std::printf(argv[1]);
    else
      std::fputs(argc > 1 ? argv[1] : "null", stdout);
    std::fputs(".\n", stdout);
  } else if (fault == Fault::exit_one && argc > 1) {
    return 1;
  }
  struct stat out;
  if (fault == Fault::lost_on_pipe && fstat(1, &out) == 0 && S_ISFIFO(out.st_mode))
    _exit(0);
  return 0;
}
