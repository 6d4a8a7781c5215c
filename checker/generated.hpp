// Cases of random argument vectors for print-args and print-sentence, their output computed
// from what the programs do: the same seed gives the same cases on every host.
#pragma once

#include "cases.hpp"

#include <cstdint>
#include <vector>

namespace generated {

std::vector<cases::Case> random(size_t count, uint64_t seed);

} // namespace generated
