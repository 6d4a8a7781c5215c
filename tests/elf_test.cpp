// Reads each program's ELF headers and checks the link contract harnesses rely on: a
// position-independent executable for the expected processor, started by that platform's loader
// and needing libc.so.6 alone, with no text relocations, run paths or executable stack.
#include "settings.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Target {
  std::string arch;
  int elfClass, machine;
  std::string interpreter;
};

const Target targets[] = {
    {"i386", ELFCLASS32, EM_386, "/lib/ld-linux.so.2"},
    {"x86_64", ELFCLASS64, EM_X86_64, "/lib64/ld-linux-x86-64.so.2"},
    {"aarch64", ELFCLASS64, EM_AARCH64, "/lib/ld-linux-aarch64.so.1"},
};

void checkLinkContract(const std::string &program) {
  std::string arch = setting("SUPPORT_PROGRAMS_ARCH", SUPPORT_PROGRAMS_ARCH);
  auto target = std::find_if(std::begin(targets), std::end(targets),
                             [&](const Target &t) { return t.arch == arch; });
  ASSERT_NE(target, std::end(targets)) << "no link contract known for processor " << arch;
  std::string path = programPath(program);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  elf_version(EV_CURRENT);
  Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
  GElf_Ehdr header;
  ASSERT_TRUE(elf && gelf_getehdr(elf, &header)) << path << ": " << elf_errmsg(-1);
  EXPECT_EQ(header.e_ident[EI_CLASS], target->elfClass);
  EXPECT_EQ(header.e_machine, target->machine);
  EXPECT_EQ(header.e_type, ET_DYN);

  std::string interpreter;
  bool stackMarked = false, stackExecutable = false;
  size_t segments = 0, fileSize = 0;
  const char *file = elf_rawfile(elf, &fileSize);
  elf_getphdrnum(elf, &segments);
  for (size_t i = 0; i < segments; ++i) {
    GElf_Phdr segment;
    gelf_getphdr(elf, int(i), &segment);
    if (segment.p_type == PT_INTERP && segment.p_offset + segment.p_filesz <= fileSize)
      interpreter.assign(file + segment.p_offset,
                         strnlen(file + segment.p_offset, segment.p_filesz));
    if (segment.p_type == PT_GNU_STACK) {
      stackMarked = true;
      stackExecutable = segment.p_flags & PF_X;
    }
  }
  EXPECT_EQ(interpreter, target->interpreter);
  EXPECT_TRUE(stackMarked && !stackExecutable);

  std::vector<std::string> needed, runPaths;
  bool textRelocations = false;
  GElf_Xword flags1 = 0;
  for (Elf_Scn *section = nullptr; (section = elf_nextscn(elf, section));) {
    GElf_Shdr sectionHeader;
    if (!gelf_getshdr(section, &sectionHeader) || sectionHeader.sh_type != SHT_DYNAMIC)
      continue;
    Elf_Data *data = elf_getdata(section, nullptr);
    GElf_Dyn entry;
    for (int i = 0; data && gelf_getdyn(data, i, &entry); ++i) {
      const char *text = elf_strptr(elf, sectionHeader.sh_link, entry.d_un.d_val);
      if (entry.d_tag == DT_NEEDED)
        needed.push_back(text ? text : "?");
      if (entry.d_tag == DT_RPATH || entry.d_tag == DT_RUNPATH)
        runPaths.push_back(text ? text : "?");
      if (entry.d_tag == DT_TEXTREL || (entry.d_tag == DT_FLAGS && entry.d_un.d_val & DF_TEXTREL))
        textRelocations = true;
      if (entry.d_tag == DT_FLAGS_1)
        flags1 = entry.d_un.d_val;
    }
  }
  EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
  EXPECT_EQ(runPaths, std::vector<std::string>{});
  EXPECT_FALSE(textRelocations);
  EXPECT_TRUE(flags1 & DF_1_PIE);
  elf_end(elf);
  close(fd);
}

TEST(LinkContract, HoldsForEveryProgram) {
  for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
    SCOPED_TRACE(program);
    checkLinkContract(program);
  }
}

} // namespace
