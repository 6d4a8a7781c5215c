// Which programs the suite checks and how it starts them: the environment variable of each name
// when it is set, else what the build was configured with.
#pragma once

#include <cstdlib>
#include <string>

inline std::string setting(const char *name, const char *configured) {
  const char *value = std::getenv(name);
  return value ? value : configured;
}

inline std::string programPath(const std::string &program) {
  return setting("SUPPORT_PROGRAMS_DIR", SUPPORT_PROGRAMS_DIR) + "/" + program;
}
