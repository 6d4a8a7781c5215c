// Bytes as the cases file gives them: pieces, each repeated a number of times, kept so until
// they are used, so that a case of megabytes takes a few bytes until it starts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bytes {

struct Piece {
  std::string text;
  uint64_t count = 1;
  bool operator==(const Piece &) const = default;
};

class Bytes {
public:
  Bytes() = default;
  Bytes(std::string text, uint64_t count = 1) { add(std::move(text), count); }
  Bytes(const char *text) : Bytes(std::string(text)) {}

  // `text`, `count` times, after what is there.
  void add(std::string text, uint64_t count = 1) {
    if (text.empty() || count == 0)
      return;
    total += text.size() * count;
    if (count == 1 && !all.empty() && all.back().count == 1)
      all.back().text += text;
    else
      all.push_back({std::move(text), count});
  }
  void add(const char *text) { add(std::string(text)); }
  void add(const Bytes &more) {
    for (const Piece &piece : more.all)
      add(piece.text, piece.count);
  }
  Bytes &operator+=(const Bytes &more) {
    add(more);
    return *this;
  }
  // `text` before what is there.
  void prepend(std::string text) {
    Bytes joined(std::move(text));
    joined.add(*this);
    *this = std::move(joined);
  }

  size_t size() const { return total; }
  bool empty() const { return total == 0; }
  const std::vector<Piece> &pieces() const { return all; }

  // Every byte, each piece repeated by doubling what is already there: a few copies, not one
  // append a repeat.
  void appendTo(std::string &out) const {
    out.reserve(out.size() + total);
    for (const Piece &piece : all) {
      size_t at = out.size(), size = piece.text.size() * piece.count;
      out += piece.text;
      while (out.size() - at < size)
        out.append(out, at, std::min(out.size() - at, size - (out.size() - at)));
    }
  }
  std::string expanded() const {
    std::string out;
    appendTo(out);
    return out;
  }

  bool operator==(const Bytes &other) const { return all == other.all; }

private:
  std::vector<Piece> all;
  size_t total = 0;
};

// A list of byte strings (a case's arguments), runs of equal ones kept once with how many there
// are in a row.
class List {
public:
  void add(Bytes one, uint64_t count = 1) {
    if (count == 0)
      return;
    length += count;
    if (!runs.empty() && runs.back().first == one)
      runs.back().second += count;
    else
      runs.emplace_back(std::move(one), count);
  }
  size_t size() const { return length; }
  bool empty() const { return length == 0; }
  const std::vector<std::pair<Bytes, uint64_t>> &all() const { return runs; }
  // Each, expanded, after what `out` holds.
  void appendTo(std::vector<std::string> &out) const {
    out.reserve(out.size() + length);
    for (const auto &[one, count] : runs) {
      std::string text = one.expanded();
      for (uint64_t i = 0; i < count; ++i)
        out.push_back(text);
    }
  }
  std::vector<std::string> expanded() const {
    std::vector<std::string> out;
    appendTo(out);
    return out;
  }

private:
  std::vector<std::pair<Bytes, uint64_t>> runs;
  size_t length = 0;
};

// The cases file's coding of bytes in its strings: each character U+0001 to U+00FF stands for
// the byte of that value, in UTF-8 as JSON has it.
inline std::string encoded(const std::string &raw) {
  std::string out;
  for (unsigned char c : raw)
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xc0 | (c >> 6));
      out += char(0x80 | (c & 0x3f));
    }
  return out;
}

// The bytes a string of the file stands for, from its UTF-8 (which the parser has checked), into
// `raw`; or what is wrong with it.
inline const char *decoded(const std::string &utf8, std::string &raw) {
  raw.clear();
  // Most are ASCII without a NUL: themselves.
  if (std::all_of(utf8.begin(), utf8.end(), [](unsigned char c) { return c != 0 && c < 0x80; })) {
    raw = utf8;
    return nullptr;
  }
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xc2 && c <= 0xc3 && i + 1 < utf8.size())
      raw += char(((c & 0x1f) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3f));
    else if (c >= 0x80)
      return "a string holds a character above U+00FF, which is no byte";
    else if (c == 0)
      return "a string holds U+0000: no argument or output can hold a NUL byte";
    else
      raw += char(c);
  }
  return nullptr;
}

} // namespace bytes
