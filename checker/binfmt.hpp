// Starting the programs as the kernel starts a foreign program: the runner registered as the
// binfmt_misc interpreter for the programs' ELF class, byte order and machine, in a binfmt_misc
// instance of a user namespace of the checker's own (Linux 6.7 and later give one). The
// machine's own binfmt_misc is never written to.
#pragma once

#include "processors.hpp"

#include <string>
#include <vector>

namespace binfmt {

// The flags that may be asked for, each at most once: P (argv[0] preserved), O (the program
// opened by the kernel, its descriptor in AT_EXECFD), C (credentials from the program; implies
// O), F (the interpreter opened once, at registration).
inline constexpr const char *knownFlags = "POCF";

// The flags as given, checked; throws Fatal for any other letter or one given twice.
std::string checked(const std::string &flags);

// The line written to binfmt_misc's register file that has `interpreter` start programs of p's
// class, byte order and machine (executables and position-independent ones alike, of any OS ABI).
std::string registration(const std::string &name, const processors::Processor &p,
                         const std::string &interpreter, const std::string &flags);

// Moves this process into a user namespace of its own (its user and group mapped to root there)
// and a mount namespace of its own, mounts a binfmt_misc there and registers `interpreter` for
// each processor: from then on, executing one of their programs starts the interpreter. Call it
// while this process has one thread; throws Fatal, in one line, with why it cannot be done here
// and what would do.
void enter(const std::vector<const processors::Processor *> &processors,
           const std::string &interpreter, const std::string &flags);

// "through binfmt_misc: /usr/bin/qemu-i386, flags POCF", for the reports.
std::string described(const std::string &interpreter, const std::string &flags);

} // namespace binfmt
