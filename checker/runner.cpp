#include "runner.hpp"

#include "elf.hpp"
#include "fatal.hpp"
#include "first_start.hpp"
#include "text.hpp"

#include <unistd.h>

#include <algorithm>

namespace runner {
namespace {

namespace fs = std::filesystem;
using text::shown;

// What a program may write past the bytes a case expects before it is stopped.
constexpr size_t margin = 64 * 1024;

// Where the programs cannot be started directly (`why` says so), qemu for their processor,
// given the loader from Debian's cross sysroot where the host has none: as the installed
// package decides.
std::vector<std::string> qemu(const fs::path &dir, const std::string &why) {
  const processors::Processor *p = elf::processorOf(dir / "exit-zero");
  if (!p)
    throw Fatal("cannot start " + shown(dir / "exit-zero") + " directly (" + why +
                "), and it is no program of a processor this checker knows: give a runner");
  std::string found = where(p->qemu);
  if (found.empty())
    throw Fatal(std::string("this host cannot start ") + p->kind + " programs (" + why +
                ") and has no " + p->qemu +
                " on the PATH: install it (Debian, Ubuntu: qemu-user), or give a runner");
  const fs::path loader = p->loader, sysroot = fs::path("/usr") / p->triple;
  if (fs::exists(loader))
    return {found};
  if (fs::exists(sysroot / loader.relative_path()))
    return {found, "-L", sysroot};
  throw Fatal(std::string("this host cannot start ") + p->kind + " programs (" + why + "), and " +
              p->qemu + " needs their loader " + p->loader + ": install Debian's libc6-" +
              p->debian + "-cross, or give a runner");
}

} // namespace

std::string where(const std::string &command) {
  if (command.find('/') != std::string::npos)
    return access(command.c_str(), X_OK) == 0 ? command : "";
  return process::located(command);
}

process::Bounds bounds(const std::vector<std::string> &runner, std::chrono::seconds timeout,
                       size_t out, size_t err) {
  return {timeout, out + margin, err + margin, runner.empty() ? "the program" : "the runner"};
}

Chosen choose(const std::optional<std::vector<std::string>> &given, const fs::path &dir,
              std::chrono::seconds timeout, const std::string &startedAs) {
  Chosen chosen;
  chosen.words = given.value_or(std::vector<std::string>{});
  std::vector<std::string> &words = chosen.words;
  if (!words.empty() && where(words[0]).empty()) {
    std::string name = fs::path(words[0]).filename();
    bool isQemu = std::any_of(std::begin(processors::all), std::end(processors::all),
                              [&](const processors::Processor &p) { return name == p.qemu; });
    throw Fatal("the runner " + shown(words[0]) + " is not found on the PATH or cannot be run" +
                (isQemu ? ": install it (Debian, Ubuntu: apt-get install qemu-user)" : ""));
  }
  // exit-zero, started once as asked (by default directly, else through qemu), must start.
  std::string why = first_start::whyNot(words, dir, bounds(words, timeout, 0, 0));
  if (!why.empty() && !given) {
    words = qemu(dir, why);
    why = first_start::whyNot(words, dir, bounds(words, timeout, 0, 0));
  }
  for (const auto &word : words)
    chosen.started += (chosen.started.empty() ? "through " : " ") + shown(word);
  if (chosen.started.empty())
    chosen.started = startedAs.empty() ? "directly" : startedAs;
  if (!why.empty())
    throw Fatal("cannot start " + shown(dir / "exit-zero") + " " + chosen.started + ": " + why +
                (words.empty() && (why.starts_with("not started") ||
                                   why.find("could not be started") != std::string::npos)
                     ? ": give a runner"
                     : ""));
  return chosen;
}

} // namespace runner
