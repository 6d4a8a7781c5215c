// Bytes as the cases file gives them: pieces, each repeated a number of times, kept so until
// they are used, so that a case of megabytes takes a few bytes until it starts.
#pragma once

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
  void add(const Bytes &more) {
    for (const Piece &piece : more.all)
      add(piece.text, piece.count);
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
  void add(Bytes one) {
    ++length;
    if (!runs.empty() && runs.back().first == one)
      ++runs.back().second;
    else
      runs.emplace_back(std::move(one), 1);
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

} // namespace bytes
