// Writes the cases that are made rather than written by hand: for each class of bug that
// emulators, translators, loaders and sandboxes have had, the starts that show it, each with the
// output the programs' fixed behaviour gives, computed here from a model of the three programs.
// Usage: support-make-cases WRITTEN OUTPUT, WRITTEN being the cases written by hand, which come
// first in OUTPUT.
#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using json = nlohmann::ordered_json;

// Bytes, as pieces that repeat, so that large ones stay small in the file.
struct Piece {
  std::string text;
  size_t count = 1;
};
using Bytes = std::vector<Piece>;

Bytes bytes(const std::string &text, size_t count = 1) { return {{text, count}}; }

Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string expanded(const Bytes &b) {
  std::string out;
  for (const Piece &p : b)
    for (size_t i = 0; i < p.count; ++i)
      out += p.text;
  return out;
}

// A string of the cases file: each character U+0001 to U+00FF is the byte of that value.
std::string utf8(const std::string &text) {
  std::string out;
  for (unsigned char c : text)
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xc0 | (c >> 6));
      out += char(0x80 | (c & 0x3f));
    }
  return out;
}

json encoded(const Bytes &given) {
  Bytes b; // runs of single pieces joined into one
  for (const Piece &p : given) {
    if (p.count == 1 && !b.empty() && b.back().count == 1)
      b.back().text += p.text;
    else if (!p.text.empty() && p.count > 0)
      b.push_back(p);
  }
  if (b.empty())
    return "";
  if (b.size() == 1 && b[0].count == 1)
    return utf8(b[0].text);
  json pieces = json::array();
  for (const Piece &p : b)
    pieces.push_back(p.count == 1 ? json(utf8(p.text)) : json::array({utf8(p.text), p.count}));
  return pieces;
}

// What each program writes for these arguments.
Bytes model(const std::string &program, const std::vector<Bytes> &args) {
  if (program == "print-args") {
    Bytes out;
    for (size_t i = 0; i < args.size(); ++i) {
      if (i)
        out.push_back({" "});
      out.insert(out.end(), args[i].begin(), args[i].end());
    }
    out.push_back({"\n"});
    return out;
  }
  if (program == "print-sentence")
    return bytes("This is a test ") + (args.empty() ? bytes("null") : args[0]) + bytes(".\n");
  return {};
}

// One case: the program, its arguments and how it is started; what it must write and how it
// must end follow from the model unless `expect` says otherwise.
struct Case {
  std::string name, program;
  std::vector<Bytes> args;
  json start = json::object(); // env, limits, signals, send, reader, repeat
  std::string in = "/dev/null", out = "pipe", err = "pipe";
  bool prefix = false; // standard output is a part of the model's, from its start
  std::string signal;  // the signal it must end by; none: exit 0
  size_t cut = 0;      // the reader takes this many bytes of standard output, no more
  bool pty = false;    // a terminal's reader sees each newline as CR LF
};

Case made(std::string name, std::string program, std::vector<Bytes> args,
          json start = json::object()) {
  Case c;
  c.name = std::move(name);
  c.program = std::move(program);
  c.args = std::move(args);
  c.start = std::move(start);
  return c;
}

std::vector<Bytes> many(size_t count, const Bytes &each) { return std::vector<Bytes>(count, each); }

const std::vector<Bytes> a128KiB = many(12, bytes("x", 131071)); // 1.5 MiB written

std::ofstream file; // the cases made

void write(const Case &c) {
  json line;
  line["name"] = c.name;
  line["program"] = c.program;
  json args = json::array();
  for (const Bytes &arg : c.args)
    args.push_back(encoded(arg));
  line["args"] = args;
  for (auto &[key, value] : c.start.items())
    line[key] = value;
  line["stdin"] = c.in;
  line["stdout"] = c.out;
  line["stderr"] = c.err;
  json expect = json::object();
  bool read =
      c.out == "pipe" || c.out == "pty" || c.out == "socket" || c.out == "file" || c.out == "fifo";
  if (read) {
    Bytes out = model(c.program, c.args);
    if (c.pty) {
      std::string text = expanded(out), crlf;
      for (char ch : text)
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
      out = bytes(crlf);
    }
    if (c.cut)
      out = bytes(expanded(out).substr(0, c.cut));
    expect[c.prefix ? "stdout_prefix" : "stdout"] = encoded(out);
  }
  if (c.err == "pipe")
    expect["stderr"] = "";
  if (c.signal.empty())
    expect["exit"] = 0;
  else
    expect["signal"] = c.signal;
  line["expect"] = expect;
  file << line.dump(-1, ' ', true) << "\n"; // ASCII, for readers that split at other line ends
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: support-make-cases WRITTEN OUTPUT\n";
    return 2;
  }
  file.open(argv[2], std::ios::binary);
  std::ifstream written(argv[1], std::ios::binary);
  if (!written) {
    std::cerr << "support-make-cases: cannot read " << argv[1] << "\n";
    return 2;
  }
  file << written.rdbuf();

  // Argument counts past the fixed tables of 128, 256 and 4,096 entries some have, and far past.
  for (size_t count : {257, 1025, 4097, 65536, 100000})
    write(made("print-args/" + std::to_string(count) + "-arguments", "print-args",
               many(count, bytes("x"))));
  for (size_t count : {257, 100000})
    write(made("print-args/" + std::to_string(count) + "-empty-arguments", "print-args",
               many(count, {})));
  // The initial stack's alignment: every count from 0 to 64, the strings' total size taking
  // every value modulo 16 across them (5 n modulo 16, 5 being prime to 16).
  for (size_t n = 0; n <= 64; ++n) {
    std::vector<Bytes> args = many(n, bytes("a"));
    if (n)
      args[0] = bytes("a", 1 + 4 * n % 16);
    write(made("alignment/" + std::to_string(n) + "-arguments", "print-args", args));
  }
  // The argument area and the stack limit: 5 MiB of arguments, which a stack limit of 64 MiB
  // allows (a quarter of it, at most 6 MiB); the stack unlimited; the fewest descriptors that a
  // dynamically linked program can start with (the loader opens one).
  write(made("limits/5-MiB-of-arguments-under-a-64-MiB-stack", "print-args",
             many(40, bytes("x", 131071)), {{"limits", {{"stack", 64 << 20}}}}));
  write(made("limits/stack-unlimited", "print-args", many(8, bytes("x", 131071)),
             {{"limits", {{"stack", "unlimited"}}}}));
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(made(std::string("limits/4-descriptors/") + program, program, {bytes("x")},
               {{"limits", {{"nofile", 4}}}}));

  // The environment, which the programs never read: the same output whatever it holds.
  std::string everyByte;
  for (int b = 1; b < 256; ++b)
    everyByte += char(b);
  json thousand = json::array();
  for (int i = 0; i < 1000; ++i)
    thousand.push_back(
        std::string("E").append(std::to_string(i)).append("=").append(std::to_string(i)));
  json mebibyte = json::array();
  for (int i = 0; i < 8; ++i)
    mebibyte.push_back(json::array({"M" + std::to_string(i) + "=", json::array({"m", 131068})}));
  const std::pair<const char *, json> environments[] = {
      {"empty-entry", json::array({""})},
      {"entry-without-equals", json::array({"NO_EQUALS_SIGN"})},
      {"every-byte", json::array({utf8("BYTES=" + everyByte)})},
      {"1000-entries", thousand},
      {"entry-of-128-KiB", json::array({json::array({"BIG=", json::array({"b", 131067})})})},
      {"1-MiB", mebibyte},
  };
  for (const auto &[name, env] : environments)
    write(made(std::string("env/") + name, "print-args", {bytes("x")}, {{"env", env}}));

  // Signals as inherited: SIGPIPE ignored or blocked, with a reader that is gone, leaves the
  // writes failing and the status 0; a signal ignored at the start and sent while the program is
  // blocked writing leaves it writing all.
  for (const char *how : {"ignored", "blocked"})
    for (const char *program : {"print-args", "print-sentence"}) {
      Case c = made(std::string("signals/sigpipe-") + how + "/" + program, program, {bytes("x")},
                    {{"signals", {{how, {"SIGPIPE"}}}}});
      c.out = "broken pipe";
      write(c);
    }
  for (const char *signal : {"SIGTERM", "SIGHUP", "SIGINT"})
    write(made(
        std::string("signals/") + signal + "-ignored-then-sent", "print-args", a128KiB,
        {{"signals", {{"ignored", {signal}}}}, {"send", {{"signal", signal}, {"to", "process"}}}}));
  // Signals from outside, sent while the program is blocked writing, to it (as timeout and
  // supervisors do) and to its group (as a terminal does): it ends by them, part-way.
  for (const char *signal : {"SIGTERM", "SIGINT", "SIGHUP"})
    for (const char *to : {"process", "group"}) {
      Case c = made(std::string("signals/") + signal + "-sent-to-the-" + to, "print-args", a128KiB,
                    {{"send", {{"signal", signal}, {"to", to}}}});
      c.prefix = true;
      c.signal = signal;
      write(c);
    }

  // Readers: one that leaves part-way (the writer then ends by SIGPIPE), and a slow one, whose
  // pipe stays full, where a writer left non-blocking would see EAGAIN.
  for (size_t after : {1, 65536, 100000}) {
    Case c = made("readers/closes-after-" + std::to_string(after) + "-bytes", "print-args", a128KiB,
                  {{"reader", {{"close_after", after}}}});
    c.cut = after;
    c.signal = "SIGPIPE";
    write(c);
  }
  write(made("readers/slow", "print-args", many(4, bytes("y", 131071)), {{"reader", "slow"}}));

  // Kinds of standard output: a terminal, a socket, a socket whose peer is gone, a regular file,
  // a FIFO; and every standard stream closed at once.
  for (const char *program : {"print-args", "print-sentence"}) {
    for (const char *kind : {"pty", "socket", "file", "fifo"}) {
      Case c = made(std::string("streams/stdout-") + kind + "/" + program, program,
                    {bytes("a"), bytes("b c")});
      c.out = kind;
      c.pty = c.out == "pty";
      write(c);
    }
    Case gone =
        made(std::string("streams/stdout-socket-peer-closed/") + program, program, {bytes("a")});
    gone.out = "socket, peer closed";
    gone.signal = "SIGPIPE";
    write(gone);
  }
  for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
    Case c = made(std::string("streams/all-closed/") + program, program, {bytes("a")});
    c.in = c.out = c.err = "closed";
    write(c);
  }

  // Races at the start and the end, which show once in many starts: the same case started again
  // and again, each a fresh process; one that fails in some runs only is flaky.
  write(made("races/exit-zero-40-times", "exit-zero", {}, {{"repeat", 40}}));
  write(made("races/print-args-20-times", "print-args", {bytes("x")}, {{"repeat", 20}}));
  if (!file.flush()) {
    std::cerr << "support-make-cases: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
