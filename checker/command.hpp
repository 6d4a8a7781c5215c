// One line of bash that starts what a case started: the runner, the program and its arguments,
// an empty environment with the case's entries, its limits, ignored signals and streams.
#pragma once

#include "process.hpp"

#include <string>

namespace command {

// The line, a subshell of its own whose status is the program's:
//   ( SETUP && exec -c [-a ARGV0] -- PATH ARGS... ) REDIRECTIONS
// or, with environment entries, ( SETUP && exec env -i -- ENTRIES... PATH ARGS... ), PATH the
// absolute path run() starts. Every byte of the case is in a quoted word; the line is printable
// ASCII. Where part of the start is more than it can say (a signal blocked, an entry without
// '='), a comment at its end says so. "" where the line would be longer than `most`.
std::string line(const process::Start &start, size_t most = 64 * 1024);

// `line` with `more` said at the end of its comment (which it begins where there is none).
std::string noted(const std::string &line, const std::string &more);

// A word as bash reads it back: as it is, in single quotes, or as $'...' with escapes for bytes
// that are not printable ASCII.
std::string bashWord(const std::string &word);

} // namespace command
