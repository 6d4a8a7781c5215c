// Which programs the suite checks and how it starts them: the environment variable of each name
// when it is set, else what the build was configured with.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>

inline std::string setting(const char *name, const char *configured) {
  const char *value = std::getenv(name);
  return value ? value : configured;
}

inline std::string programPath(const std::string &program) {
  return setting("SUPPORT_PROGRAMS_DIR", SUPPORT_PROGRAMS_DIR) + "/" + program;
}

// A test name: the program's name with underscores for hyphens, and what sets the case apart.
inline std::string testName(std::string program, const std::string &detail) {
  std::replace(program.begin(), program.end(), '-', '_');
  return program + "_" + detail;
}
