// Reads each program's ELF headers and checks the link contract harnesses rely on: a
// position-independent executable for the expected processor, started by that platform's loader
// and needing libc.so.6 alone, with no text relocations, run paths or executable stack.
#include "processors.hpp"
#include "settings.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

struct Target {
  int elfClass = 0, byteOrder = 0, machine = 0;
  std::string interpreter;
};

// The processor's row of the build's table of processors, by CMake's or Debian's name for it:
// its ELF class, byte order and machine and its loader. No class when the table does not know it.
Target targetFor(const std::string &arch) {
  for (const auto &p : processors::all)
    if (arch == p.processor || arch == p.debian)
      return {p.bits == 32 ? ELFCLASS32 : ELFCLASS64, p.bigEndian ? ELFDATA2MSB : ELFDATA2LSB,
              p.machine, p.loader};
  return {};
}

void checkLinkContract(const std::string &program) {
  std::string arch = setting("SUPPORT_PROGRAMS_ARCH", SUPPORT_PROGRAMS_ARCH);
  Target target = targetFor(arch);
  ASSERT_NE(target.elfClass, 0) << "no link contract known for processor " << arch
                                << ": it is no row of cmake/processors.txt";
  std::string path = programPath(program);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  elf_version(EV_CURRENT);
  Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
  GElf_Ehdr header;
  ASSERT_TRUE(elf && gelf_getehdr(elf, &header)) << path << ": " << elf_errmsg(-1);
  EXPECT_EQ(header.e_ident[EI_CLASS], target.elfClass);
  EXPECT_EQ(header.e_ident[EI_DATA], target.byteOrder);
  EXPECT_EQ(header.e_machine, target.machine);
  EXPECT_EQ(header.e_type, ET_DYN);

  std::string interpreter;
  bool stackMarked = false, stackExecutable = false, relro = false, writableAndExecutable = false;
  size_t segments = 0, fileSize = 0;
  const char *file = elf_rawfile(elf, &fileSize);
  elf_getphdrnum(elf, &segments);
  for (size_t i = 0; i < segments; ++i) {
    GElf_Phdr segment;
    gelf_getphdr(elf, int(i), &segment);
    if (segment.p_type == PT_INTERP && segment.p_offset + segment.p_filesz <= fileSize)
      interpreter.assign(file + segment.p_offset,
                         strnlen(file + segment.p_offset, segment.p_filesz));
    relro |= segment.p_type == PT_GNU_RELRO;
    // A segment both writable and executable, which -z text does not catch (PowerPC's old PLT).
    writableAndExecutable |= (segment.p_flags & (PF_W | PF_X)) == (PF_W | PF_X);
    if (segment.p_type == PT_GNU_STACK) {
      stackMarked = true;
      stackExecutable = segment.p_flags & PF_X;
    }
  }
  EXPECT_EQ(interpreter, target.interpreter);
  EXPECT_TRUE(stackMarked && !stackExecutable);
  EXPECT_TRUE(relro);
  EXPECT_FALSE(writableAndExecutable);

  std::vector<std::string> needed, runPaths;
  bool textRelocations = false;
  GElf_Xword flags = 0, flags1 = 0;
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
      if (entry.d_tag == DT_FLAGS)
        flags = entry.d_un.d_val;
      if (entry.d_tag == DT_FLAGS_1)
        flags1 = entry.d_un.d_val;
    }
  }
  EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
  EXPECT_EQ(runPaths, std::vector<std::string>{});
  EXPECT_FALSE(textRelocations);
  EXPECT_TRUE(flags1 & DF_1_PIE);
  EXPECT_TRUE((flags & DF_BIND_NOW) || (flags1 & DF_1_NOW)) << "not bound at start-up";
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
