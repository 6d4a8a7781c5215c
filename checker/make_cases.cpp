// Writes the cases that are made rather than written by hand: for each class of bug that
// emulators, translators, loaders and sandboxes have had, the starts that show it, each with the
// output the programs' fixed behaviour gives, computed here from a model of the three programs.
// Usage: support-make-cases WRITTEN OUTPUT, WRITTEN being the cases written by hand, which come
// first in OUTPUT.
#include "bytes.hpp"
#include "cases.hpp"
#include "programs.hpp"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using json = nlohmann::ordered_json;

using bytes::Bytes;

// Runs of bytes shorter than this are written out, and runs of fewer equal arguments.
constexpr size_t shortestRun = 64, fewestArguments = 16;

// Long text as runs of a short unit where one repeats: "x x x ... x\n" becomes [["x ", 65535],
// "x\n"], so that the file stays small and its reader keeps the runs as they are.
Bytes compacted(const Bytes &b) {
  Bytes out;
  for (const bytes::Piece &p : b.pieces()) {
    const std::string &s = p.text;
    if (p.count != 1 || s.size() < shortestRun) {
      out.add(s, p.count);
      continue;
    }
    size_t i = 0, written = 0; // s is in out up to `written`
    while (i < s.size()) {
      size_t unit = 0, count = 0; // the longest run from i
      for (size_t u = 1; u <= 16 && i + u <= s.size(); ++u) {
        size_t n = 1;
        while (i + (n + 1) * u <= s.size() && s.compare(i + n * u, u, s, i, u) == 0)
          ++n;
        if (n * u >= shortestRun && n * u > count * unit)
          unit = u, count = n;
      }
      if (!unit) {
        ++i;
        continue;
      }
      out.add(s.substr(written, i - written));
      out.add(s.substr(i, unit), count);
      written = i += unit * count;
    }
    out.add(s.substr(written));
  }
  return out;
}

// A string of the file, or a list of pieces where anything repeats.
json encoded(const Bytes &given) {
  Bytes b = compacted(given);
  const std::vector<bytes::Piece> &pieces = b.pieces();
  if (pieces.empty())
    return "";
  if (pieces.size() == 1 && pieces[0].count == 1)
    return bytes::encoded(pieces[0].text);
  json list = json::array();
  for (const bytes::Piece &p : pieces)
    list.push_back(p.count == 1 ? json(bytes::encoded(p.text))
                                : json::array({bytes::encoded(p.text), p.count}));
  return list;
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

const std::vector<Bytes> a128KiB = many(12, Bytes("x", 131071)); // 1.5 MiB written

std::ofstream file; // the cases made

void write(const Case &c) {
  json line;
  line["name"] = c.name;
  line["program"] = c.program;
  // Equal arguments in a row, many of them, as one run.
  json args = json::array();
  for (size_t i = 0, n; i < c.args.size(); i += n) {
    for (n = 1; i + n < c.args.size() && c.args[i + n] == c.args[i];)
      ++n;
    if (n >= fewestArguments) {
      args.push_back({{"argument", encoded(c.args[i])}, {"count", n}});
    } else {
      for (size_t k = 0; k < n; ++k)
        args.push_back(encoded(c.args[i + k]));
    }
  }
  line["args"] = args;
  for (auto &[key, value] : c.start.items())
    line[key] = value;
  line["stdin"] = c.in;
  line["stdout"] = c.out;
  line["stderr"] = c.err;
  json expect = json::object();
  if (process::readBack(cases::outputStreams.at(c.out))) {
    Bytes out = programs::written(c.program, c.args);
    if (c.pty) {
      std::string text = out.expanded(), crlf;
      for (char ch : text)
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
      out = Bytes(crlf);
    }
    if (c.cut)
      out = Bytes(out.expanded().substr(0, c.cut));
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
               many(count, Bytes("x"))));
  for (size_t count : {257, 100000})
    write(made("print-args/" + std::to_string(count) + "-empty-arguments", "print-args",
               many(count, {})));
  // The initial stack's alignment: the arguments' strings, with their NULs, of every total size
  // modulo 16, crossed with every argument count modulo 4 (which moves the pointers after them);
  // all that again with one environment entry, which moves them once more.
  for (bool env : {false, true})
    for (size_t count = 1; count <= 4; ++count)
      for (size_t residue = 0; residue < 16; ++residue) {
        std::vector<Bytes> args = many(count, Bytes("a"));
        size_t first = (residue + 31 - 2 * (count - 1)) % 16; // the rest take 2 bytes each
        args[0] = Bytes("a", first ? first : 16);
        size_t total = (first ? first : 16) + 1 + 2 * (count - 1);
        write(made(std::string("alignment/") + (env ? "with-an-entry/" : "") +
                       std::to_string(count) + "-arguments-of-" + std::to_string(total) + "-bytes",
                   "print-args", args, env ? json{{"env", {"E=1"}}} : json::object()));
      }
  // The argument area and the stack limit: 5 MiB of arguments, which a stack limit of 64 MiB
  // allows (a quarter of it, at most 6 MiB); the stack unlimited; the fewest descriptors that a
  // dynamically linked program can start with (the loader opens one).
  write(made("limits/5-MiB-of-arguments-under-a-64-MiB-stack", "print-args",
             many(40, Bytes("x", 131071)), {{"limits", {{"stack", 64 << 20}}}}));
  write(made("limits/stack-unlimited", "print-args", many(8, Bytes("x", 131071)),
             {{"limits", {{"stack", "unlimited"}}}}));
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(made(std::string("limits/4-descriptors/") + program, program, {Bytes("x")},
               {{"limits", {{"nofile", 4}}}}));
  // Limits a caller sets that the programs run under: descriptors raised to the hard limit (a
  // runner that closes every number up to it, or refuses so many); room for an address space of
  // 8 GiB (the programs need MiBs; a runner that reserves far more for its guest fails); data of
  // 256 MiB (a translation buffer counted as data); no file may grow (a runner that writes a file
  // of its own, its loader or its code, ends by SIGXFSZ).
  const std::pair<const char *, json> callerLimits[] = {
      {"descriptors-at-the-hard-limit", {{"nofile", "hard"}}},
      {"address-space-of-8-GiB", {{"as", 8ull << 30}}},
      {"data-of-256-MiB", {{"data", 256 << 20}}},
      {"no-file-may-grow", {{"fsize", 0}}},
  };
  // Where descriptors are raised to the hard limit, the start has a budget: a runner that closes
  // every number up to a limit of 2^30 one by one takes minutes, where Linux takes a millisecond.
  for (const auto &[name, limits] : callerLimits)
    for (const char *program : {"print-args", "exit-zero"}) {
      json extra = {{"limits", limits}};
      if (limits.contains("nofile"))
        extra["start_within"] = 10;
      write(made(std::string("limits/") + name + "/" + program, program, {Bytes("x")}, extra));
    }

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
      {"every-byte", json::array({bytes::encoded("BYTES=" + everyByte)})},
      {"1000-entries", thousand},
      {"entry-of-128-KiB", json::array({json::array({"BIG=", json::array({"b", 131067})})})},
      {"1-MiB", mebibyte},
  };
  for (const auto &[name, env] : environments)
    write(made(std::string("env/") + name, "print-args", {Bytes("x")}, {{"env", env}}));

  // Signals as inherited: SIGPIPE ignored or blocked, with a reader that is gone, leaves the
  // writes failing and the status 0; a signal ignored at the start and sent while the program is
  // blocked writing leaves it writing all.
  for (const char *how : {"ignored", "blocked"})
    for (const char *program : {"print-args", "print-sentence"}) {
      Case c = made(std::string("signals/sigpipe-") + how + "/" + program, program, {Bytes("x")},
                    {{"signals", {{how, {"SIGPIPE"}}}}});
      c.out = "broken pipe";
      write(c);
    }
  // Each class of signal and reader twice: with 1.5 MiB of output, which fills any pipe, and with
  // a vector a sandbox takes (30 arguments of 4,000 bytes) into a pipe of one page.
  struct Payload {
    std::string name;
    std::vector<Bytes> args;
    json start;
  };
  const Payload payloads[] = {{"", a128KiB, json::object()},
                              {"small/", many(30, Bytes("x", 4000)), {{"stdout_pipe_size", 4096}}}};
  for (const Payload &payload : payloads) {
    auto with = [&](json start) {
      start.update(payload.start);
      return start;
    };
    for (const char *signal : {"SIGTERM", "SIGHUP", "SIGINT", "SIGQUIT"})
      write(made("signals/" + payload.name + signal + "-ignored-then-sent", "print-args",
                 payload.args,
                 with({{"signals", {{"ignored", {signal}}}},
                       {"send", {{"signal", signal}, {"to", "process"}}}})));
    // Signals from outside, sent while the program is blocked writing, to it (as timeout and
    // supervisors do) and to its group (as a terminal does): it ends by them, part-way; those
    // that would dump core, with no core to write, so that nothing of the runner's shows.
    for (const char *signal : {"SIGTERM", "SIGINT", "SIGHUP", "SIGQUIT", "SIGTRAP", "SIGSYS"})
      for (const char *to : {"process", "group"}) {
        bool core = std::string_view(signal) != "SIGTERM" && std::string_view(signal) != "SIGINT" &&
                    std::string_view(signal) != "SIGHUP";
        if (core && std::string_view(to) == "group")
          continue;
        json start = {{"send", {{"signal", signal}, {"to", to}}}};
        if (core)
          start["limits"] = {{"core", 0}};
        Case c = made("signals/" + payload.name + signal + "-sent-to-the-" + to, "print-args",
                      payload.args, with(start));
        c.prefix = true;
        c.signal = signal;
        write(c);
      }
    // Readers: one that leaves part-way (the writer then ends by SIGPIPE), and a slow one, whose
    // pipe stays full, where a writer left non-blocking would see EAGAIN.
    for (size_t after : {1, 65536, 100000}) {
      Case c = made("readers/" + payload.name + "closes-after-" + std::to_string(after) + "-bytes",
                    "print-args", payload.args, with({{"reader", {{"close_after", after}}}}));
      c.cut = after;
      c.signal = "SIGPIPE";
      write(c);
    }
    write(made("readers/" + payload.name + "slow", "print-args",
               payload.name.empty() ? many(4, Bytes("y", 131071)) : payload.args,
               with({{"reader", "slow"}})));
  }

  // Kinds of standard output: a terminal, a socket, a socket whose peer is gone, a regular file,
  // a FIFO; and every standard stream closed at once.
  for (const char *program : {"print-args", "print-sentence"}) {
    for (const char *kind : {"pty", "socket", "file", "fifo"}) {
      Case c = made(std::string("streams/stdout-") + kind + "/" + program, program,
                    {Bytes("a"), Bytes("b c")});
      c.out = kind;
      c.pty = c.out == "pty";
      write(c);
    }
    Case gone =
        made(std::string("streams/stdout-socket-peer-closed/") + program, program, {Bytes("a")});
    gone.out = "socket, peer closed";
    gone.signal = "SIGPIPE";
    write(gone);
  }
  for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
    Case c = made(std::string("streams/all-closed/") + program, program, {Bytes("a")});
    c.in = c.out = c.err = "closed";
    write(c);
  }

  // Standard input a pipe that holds what the program never reads, which must all be there for
  // the next reader; standard output a file opened for appending that holds bytes already.
  for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
    Case c = made(std::string("streams/stdin-pipe-holding-data/") + program, program, {Bytes("a")});
    c.in = "pipe holding data";
    write(c);
  }
  for (const char *program : {"print-args", "print-sentence"}) {
    Case c = made(std::string("streams/stdout-file-appended/") + program, program,
                  {Bytes("a"), Bytes("b c")});
    c.out = "file, appended";
    write(c);
  }

  // What a caller may start the programs under: no new privileges, ptrace denied, a working
  // folder deleted before the start, a pipe passed on as descriptor 3 (whose writing end must be
  // closed everywhere once the program has ended), no /proc, no second process, a TMPDIR that is
  // not there, SIGCHLD ignored.
  const std::pair<const char *, json> conditions[] = {
      {"no-new-privileges", {{"conditions", {"no new privileges"}}}},
      {"ptrace-denied", {{"conditions", {"ptrace denied"}}}},
      {"working-folder-deleted", {{"conditions", {"working folder deleted"}}}},
      {"descriptor-3-a-pipe", {{"conditions", {"descriptor 3 a pipe"}}}},
      {"proc-hidden", {{"conditions", {"/proc hidden"}}}},
      {"one-process-at-most", {{"conditions", {"one process at most"}}}},
      {"TMPDIR-missing", {{"env", {"TMPDIR=/nonexistent/support-programs"}}}},
      {"SIGCHLD-ignored", {{"signals", {{"ignored", {"SIGCHLD"}}}}}},
  };
  for (const auto &[name, start] : conditions)
    for (const char *program : {"print-args", "exit-zero"})
      write(made(std::string("conditions/") + name + "/" + program, program, {Bytes("x")}, start));

  // Races at the start and the end, which show once in many starts: the same case started again
  // and again, each a fresh process; one that fails in some runs only is flaky.
  write(made("races/exit-zero-40-times", "exit-zero", {}, {{"repeat", 40}}));
  write(made("races/print-args-20-times", "print-args", {Bytes("x")}, {{"repeat", 20}}));

  // The argument vector's first word, which the programs never read, and the path they are
  // executed by: an empty argv[0], a long one, one that reads as an option, none at all (an
  // empty vector, which the kernel gives one empty argument); through a symbolic link in the
  // working folder, by a relative path holding a space and bytes beyond ASCII.
  const std::pair<const char *, json> argv0s[] = {
      {"empty", ""},
      {"of-64-KiB", encoded(Bytes("a", 65536))},
      {"like-an-option", "-0 x"},
  };
  for (const auto &[name, argv0] : argv0s)
    write(made(std::string("argv0/") + name, "print-args", {Bytes("a"), Bytes("b c")},
               {{"argv0", argv0}}));
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(made(std::string("argv0/none/") + program, program, {}, {{"argv0", nullptr}}));
  // and from a copy that may be executed but not read.
  for (const char *how : {"link", "exec-only"})
    for (const char *program : {"print-args", "print-sentence", "exit-zero"})
      write(made(std::string("started-as/") + how + "/" + program, program,
                 {Bytes("a b"), Bytes("c")}, {{"started_as", how}}));
  if (!file.flush()) {
    std::cerr << "support-make-cases: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
