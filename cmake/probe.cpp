// Uses stdio as the programs do: built to try a toolchain, and started to try this host.
#include <cstdio>

int main() { return std::puts("") < 0; }
