// What each program writes for an argument vector: the one model that the cases file, the random
// vectors and the tests take their expectations from. Every program ends with exit status 0.
#pragma once

#include <string_view>
#include <vector>

namespace programs {

// Standard output of `program` given `args` (its argv[1] on): print-args writes its arguments
// joined by single spaces and a newline; print-sentence "This is a test %s.\n" with its first
// argument, or "null" where there is none; exit-zero nothing. Text is std::string or
// bytes::Bytes: built from a C string and appended to with +=.
template <class Text> Text written(std::string_view program, const std::vector<Text> &args) {
  Text out;
  if (program == "print-args") {
    for (size_t i = 0; i < args.size(); ++i) {
      if (i)
        out += Text(" ");
      out += args[i];
    }
    out += Text("\n");
  } else if (program == "print-sentence") {
    out += Text("This is a test ");
    out += args.empty() ? Text("null") : args[0];
    out += Text(".\n");
  }
  return out;
}

} // namespace programs
