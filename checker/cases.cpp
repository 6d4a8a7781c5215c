#include "cases.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace cases {
namespace {

using nlohmann::json;

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const json &field(const json &object, const char *key, json::value_t type) {
  auto it = object.find(key);
  if (it == object.end())
    throw Error(std::string("no \"") + key + "\"");
  if (it->type() != type)
    throw Error(std::string("\"") + key + "\" is " + it->type_name());
  return *it;
}

// A string's characters are its bytes: U+0001 to U+00FF stand for the byte of that value.
std::string bytes(const std::string &utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xc2 && c <= 0xc3 && i + 1 < utf8.size())
      out += char(((c & 0x1f) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3f));
    else if (c >= 0x80)
      throw Error("a string holds a character above U+00FF, which is no byte");
    else if (c == 0)
      throw Error("a string holds U+0000: no argument or output can hold a NUL byte");
    else
      out += char(c);
  }
  return out;
}

// Bytes are a string, or a list of pieces: each a string, or [string, count] for the string
// repeated count times.
std::string data(const json &value) {
  if (value.is_string())
    return bytes(value.get<std::string>());
  if (!value.is_array())
    throw Error(std::string("bytes are a string or a list of pieces, not ") + value.type_name());
  std::string out;
  for (const json &piece : value) {
    if (piece.is_string()) {
      out += bytes(piece.get<std::string>());
    } else if (piece.is_array() && piece.size() == 2 && piece[0].is_string() &&
               piece[1].is_number_unsigned() && piece[1].get<size_t>() <= (1u << 24)) {
      std::string repeated = bytes(piece[0].get<std::string>());
      for (size_t n = piece[1].get<size_t>(); n > 0; --n)
        out += repeated;
    } else {
      throw Error("a piece is a string or [string, count up to 16777216], not " + piece.dump());
    }
  }
  return out;
}

process::Stream stream(const json &object, const char *key,
                       const std::map<std::string, process::Stream> &allowed) {
  std::string value = field(object, key, json::value_t::string).get<std::string>();
  if (auto it = allowed.find(value); it != allowed.end())
    return it->second;
  std::string names;
  for (const auto &[name, _] : allowed)
    names += (names.empty() ? "\"" : ", \"") + name + "\"";
  throw Error(std::string("\"") + key + "\" is \"" + value + "\"; it is one of " + names);
}

Case parse(const std::string &text) {
  using process::Stream;
  json object = json::parse(text);
  if (!object.is_object())
    throw Error("a case is a JSON object");
  Case c;
  c.name = field(object, "name", json::value_t::string).get<std::string>();
  for (char byte : c.name)
    if (byte < 0x20 || byte > 0x7e || byte == '#')
      throw Error("a name is printable ASCII without '#'");
  c.program = field(object, "program", json::value_t::string).get<std::string>();
  if (std::find(std::begin(programs), std::end(programs), c.program) == std::end(programs))
    throw Error("\"program\" is \"" + c.program +
                "\"; it is print-args, print-sentence or exit-zero");
  for (const json &arg : field(object, "args", json::value_t::array))
    c.args.push_back(data(arg));
  c.streams.in =
      stream(object, "stdin", {{"/dev/null", Stream::DevNull}, {"closed", Stream::Closed}});
  const std::map<std::string, Stream> outputs = {{"pipe", Stream::Pipe},
                                                 {"closed", Stream::Closed},
                                                 {"/dev/null", Stream::DevNull},
                                                 {"/dev/full", Stream::DevFull},
                                                 {"broken pipe", Stream::BrokenPipe}};
  c.streams.out = stream(object, "stdout", outputs);
  c.streams.err = stream(object, "stderr", outputs);
  const json &expect = field(object, "expect", json::value_t::object);
  for (auto [key, piped, into] : {std::tuple{"stdout", c.streams.out == Stream::Pipe, &c.out},
                                  std::tuple{"stderr", c.streams.err == Stream::Pipe, &c.err}}) {
    if (piped != expect.contains(key))
      throw Error(std::string("\"expect\" has \"") + key + "\" exactly when " + key +
                  " is \"pipe\"");
    if (piped)
      *into = data(expect[key]);
  }
  if (expect.contains("exit") == expect.contains("signal"))
    throw Error("\"expect\" has either \"exit\" or \"signal\"");
  if (expect.contains("exit")) {
    auto status = field(expect, "exit", json::value_t::number_unsigned).get<unsigned long>();
    if (status > 255)
      throw Error("\"exit\" is a status from 0 to 255");
    c.ending = "exit " + std::to_string(status);
  } else {
    c.ending = "signal " + field(expect, "signal", json::value_t::string).get<std::string>();
  }
  return c;
}

} // namespace

std::vector<Case> read(const std::string &path) {
  if (std::filesystem::is_directory(path))
    throw Malformed(path + ": is a folder, not a cases file");
  std::ifstream in(path);
  if (!in)
    throw Malformed(path + ": cannot be read");
  std::vector<Case> all;
  std::set<std::string> names;
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    if (text.find_first_not_of(" \t\r") == std::string::npos)
      continue;
    try {
      all.push_back(parse(text));
      all.back().line = number;
      if (!names.insert(all.back().name).second)
        throw Error("a case named \"" + all.back().name + "\" is already there");
    } catch (const json::parse_error &error) { // "[json.exception.parse_error.101] parse
      std::string what = error.what();         // error at line 1, column 5: ..."
      what = what.substr(what.find("] ") + 2);
      if (auto at = what.find("line 1, "); at != std::string::npos)
        what.erase(at, 8);
      throw Malformed(path + ":" + std::to_string(number) + ": " + what);
    } catch (const std::exception &error) {
      throw Malformed(path + ":" + std::to_string(number) + ": " + error.what());
    }
  }
  if (all.empty())
    throw Malformed(path + ": holds no cases");
  return all;
}

} // namespace cases
