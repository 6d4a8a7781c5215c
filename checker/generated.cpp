#include "generated.hpp"

#include "programs.hpp"

#include <random>
#include <string>

namespace generated {

std::vector<cases::Case> random(size_t count, uint64_t seed) {
  // mt19937_64 is the same everywhere; the standard's distributions are not, so none is used.
  std::mt19937_64 bits(seed);
  auto below = [&](uint64_t bound) { return bound ? bits() % bound : 0; };
  std::vector<cases::Case> made;
  for (size_t i = 0; i < count; ++i) {
    cases::Case c;
    c.program = i % 2 ? "print-sentence" : "print-args";
    c.name =
        cases::randomNames + std::to_string(seed) + "/" + std::to_string(i + 1) + "/" + c.program;
    // Mostly short vectors of short arguments, now and then long ones; every byte but NUL.
    size_t arguments = below(8) == 0 ? below(257) : below(9);
    std::vector<std::string> args;
    for (size_t a = 0; a < arguments; ++a) {
      size_t length = below(4) == 0 ? 0 : below(16) == 0 ? below(1024) : below(17);
      std::string arg;
      for (size_t b = 0; b < length; ++b)
        arg += char(1 + below(255));
      args.push_back(std::move(arg));
    }
    c.out = programs::written(c.program, args);
    for (std::string &arg : args)
      c.args.add(std::move(arg));
    c.ending = process::Ending::exited(0);
    made.push_back(std::move(c));
  }
  return made;
}

} // namespace generated
