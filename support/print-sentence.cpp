// Writes a fixed sentence around the first argument, or around "null" when there is none.
#include <cstdio>

int main(int argc, char *argv[]) {
  std::printf("This is a test %s.\n", argc > 1 ? argv[1] : "null");
  return 0;
}
