// Writes the arguments as one line: single spaces between them, one newline at the end.
#include <cstdio>

int main(int argc, char *argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (i > 1)
      std::putc(' ', stdout);
    std::fputs(argv[i], stdout);
  }
  std::putc('\n', stdout);
  return 0;
}
