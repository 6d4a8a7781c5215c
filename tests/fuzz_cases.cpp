// Any bytes as a cases file: the reader either takes them or refuses them with a message of one
// line; any other exception, a crash, a leak or undefined behaviour is a finding.
#include "cases.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  try {
    cases::parse(std::string_view(reinterpret_cast<const char *>(data), size), "fuzz");
  } catch (const cases::Malformed &error) {
    if (std::string_view(error.what()).find('\n') != std::string_view::npos)
      std::abort();
  }
  return 0;
}
