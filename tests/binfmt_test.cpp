// The programs started as the kernel starts a foreign program: the runner registered as their
// binfmt_misc interpreter in a namespace of the checker's own. A correct interpreter passes with
// every set of flags, each faulty one is caught, and the machine's binfmt_misc is left as it was.
#include "checker_support.hpp"
#include "processors.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace checker_test;
namespace fs = std::filesystem;

// What the machine's binfmt_misc holds, entry by entry; "" where none is mounted.
std::string machineBinfmt() {
  std::string all;
  std::error_code error;
  for (auto it = fs::directory_iterator("/proc/sys/fs/binfmt_misc", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    std::ifstream entry(it->path());
    all += it->path().filename().string() + ":" +
           std::string(std::istreambuf_iterator<char>(entry), {}) + "\n";
  }
  return all;
}

// The build's programs, of a processor this kernel does not run as its own (an interpreter of
// the machine's processor would be registered for itself), started through `interpreter` with
// `flags`; skips, with the reason, where that cannot be done here.
class Binfmt : public testing::Test {
protected:
  void SetUp() override {
    std::string machine = NATIVE_PROCESSOR;
    const processors::Processor *own = nullptr;
    for (const auto &p : processors::all)
      if (machine == p.processor)
        own = &p;
    std::ifstream header(fs::path(SUPPORT_PROGRAMS_DIR) / "exit-zero", std::ios::binary);
    char bytes[20] = {};
    header.read(bytes, sizeof bytes);
    if (own && (unsigned char)bytes[18] + 256 * (unsigned char)bytes[19] == own->machine &&
        (bytes[4] == 2) == (own->bits == 64))
      GTEST_SKIP() << "the build's programs are of this machine's own processor";
    if (access("/usr/bin/qemu-i386", X_OK) != 0 || (unsigned char)bytes[18] != 3)
      GTEST_SKIP() << "these tests start i386 programs through /usr/bin/qemu-i386";
    process::Finished probe =
        run("", "/usr/bin/qemu-i386", {"--filter", "^exit-zero/no-arguments$"});
    if (probe.err.find("--binfmt needs") != std::string::npos)
      GTEST_SKIP() << probe.err;
  }
  process::Finished run(const std::string &flags, const std::string &interpreter, Args more = {}) {
    Args args = {"--programs", SUPPORT_PROGRAMS_DIR, "--binfmt", flags};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--", interpreter});
    return check(args);
  }
  Scratch dir{"binfmt"};
};

// qemu-user 7.2's faults, which it has whatever starts it; and with O, under a limit of 4
// descriptors, the kernel's descriptor for the program leaves none for qemu's own libraries.
const char *qemuFaults = "SIGQUIT-sent|SIGTRAP-sent|SIGSYS-sent|^signals/small/|one-process";

TEST_F(Binfmt, PassesACorrectInterpreterWithEveryFlagAndLeavesTheMachinesAsItWas) {
  std::string before = machineBinfmt();
  fs::create_symlink(FAULTY_RUNNER, dir / "binfmt-correct");
  // qemu with no flag and with all, every case; the tests' own interpreter with each flag alone,
  // the cases of the programs' own folders.
  const struct {
    std::string interpreter;
    const char *flags, *only;
  } runs[] = {
      {"/usr/bin/qemu-i386", "", ""},
      {"/usr/bin/qemu-i386", "POCF", ""},
      {dir / "binfmt-correct", "P", "^(print-args|print-sentence|exit-zero)/"},
      {dir / "binfmt-correct", "O", "^(print-args|print-sentence|exit-zero)/"},
      {dir / "binfmt-correct", "F", "^(print-args|print-sentence|exit-zero)/"},
  };
  for (const auto &[interpreter, flags, only] : runs) {
    std::string left = qemuFaults;
    if (std::string(flags).find('O') != std::string::npos)
      left += "|^limits/4-descriptors/";
    Args more = {"--filter-out", left};
    if (*only)
      more.insert(more.end(), {"--filter", only});
    process::Finished run = this->run(flags, interpreter, more);
    EXPECT_EQ(process::ending(run), "exit 0")
        << interpreter << " " << flags << ": " << run.err << failedCases(run.out).size();
    EXPECT_NE(run.out.find(", started through binfmt_misc: " + interpreter + ", flags " +
                           (*flags ? flags : "none") + "\n"),
              std::string::npos)
        << run.out.substr(0, 300);
  }
  EXPECT_EQ(machineBinfmt(), before);
}

// An interpreter that passes the preserved argv[0] on as an argument too, one that drops it so
// that the first argument takes its place: caught, with a command that says what it leaves out.
TEST_F(Binfmt, CatchesInterpretersThatMishandleArgvZero) {
  const struct {
    const char *mode, *flags, *says;
  } faults[] = {
      {"passes-argv0-on", "P", "stdout differs from byte 0"},
      {"drops-argv0", "", "stdout differs from byte 0"},
      {"drops-argv0", "POCF", "stdout differs from byte 0"},
  };
  for (auto [mode, flags, says] : faults) {
    fs::path interpreter = dir / (std::string("binfmt-") + mode);
    if (!fs::exists(interpreter))
      fs::create_symlink(FAULTY_RUNNER, interpreter);
    process::Finished run = this->run(flags, interpreter, {"--filter", "^print-args/three$"});
    EXPECT_EQ(process::ending(run), "exit 1") << mode << " " << flags << ": " << run.err;
    EXPECT_NE(run.out.find(says), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("registered in a user namespace of its own, which this command does "
                           "not do: --binfmt does"),
              std::string::npos)
        << run.out;
  }
}

// A program that may be executed but not read: the kernel opens it for the interpreter with O
// (or C, which implies it), whose descriptor a correct interpreter reads; without either it is
// skipped, with why. One that opens the program by its path all the same is caught, root as the
// checker may be: the program is started without the capabilities that would read it anyway.
TEST_F(Binfmt, StartsAProgramThatMayOnlyBeExecutedWhereTheKernelOpensIt) {
  const struct {
    const char *mode, *flags, *ending, *says;
  } runs[] = {
      {"correct", "O", "exit 0", "# 3 of 3 passed"},
      {"correct", "C", "exit 0", "# 3 of 3 passed"},
      {"correct", "P", "exit 0", "# SKIP without O or C, binfmt_misc gives the interpreter"},
      {"ignores-execfd", "O", "exit 1", "exit 2, expected exit 0; stdout differs from byte 0"},
  };
  for (auto [mode, flags, ending, says] : runs) {
    fs::path interpreter = dir / (std::string("binfmt-") + mode);
    if (!fs::exists(interpreter))
      fs::create_symlink(FAULTY_RUNNER, interpreter);
    process::Finished run = this->run(flags, interpreter, {"--filter", "^started-as/exec-only/"});
    EXPECT_EQ(process::ending(run), ending) << mode << " " << flags << ": " << run.err;
    EXPECT_NE(run.out.find(says), std::string::npos) << mode << " " << flags << ": " << run.out;
  }
}

// Bad use in one line, before anything is registered.
TEST(BinfmtUse, RefusesWhatCannotBeRegistered) {
  const struct {
    Args args;
    const char *says;
  } uses[] = {
      {{"--binfmt", "PX", "--", "/usr/bin/true"}, "the flags are any of P, O, C and F"},
      {{"--binfmt", "PP", "--", "/usr/bin/true"}, "each at most once"},
      {{"--binfmt", "P", "--", "/usr/bin/env", "x"}, "takes a runner of one word"},
      {{"--binfmt", "P"}, "takes a runner of one word"},
      {{"--binfmt", "P", "--", "/nonexistent/qemu"}, "is not found"},
  };
  for (const auto &[args, says] : uses) {
    process::Finished run = check(args);
    EXPECT_EQ(process::ending(run), "exit 2") << says;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

} // namespace
