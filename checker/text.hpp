// Bytes from outside (file names, values, program output) made safe to show on one line.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

namespace text {

// Bytes as printable ASCII, in the escapes of YAML's and C's double-quoted strings: the same
// bytes read back, never a line break or a byte that is not ASCII.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  const char hex[] = "0123456789abcdef";
  for (unsigned char byte : bytes) {
    if (byte == '"' || byte == '\\')
      out += {'\\', char(byte)};
    else if (byte == '\n')
      out += "\\n";
    else if (byte == '\t')
      out += "\\t";
    else if (byte >= 0x20 && byte < 0x7f)
      out += char(byte);
    else
      out += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
  }
  return out;
}

inline std::string quoted(std::string_view bytes) { return '"' + escaped(bytes) + '"'; }

// Whether a word of these bytes alone is read back as it stands, by a shell or a person: letters,
// digits and _-./=:+,@% (never a NUL).
inline bool plain(const std::string &word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("_-./=:+,@%", c));
  });
}

// A word from outside as it stands, where it cannot be mistaken; quoted and escaped otherwise.
inline std::string shown(const std::string &word) {
  return plain(word) ? word : text::quoted(word);
}

} // namespace text
