#include "elf.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace elf {

const processors::Processor *processorOf(const std::filesystem::path &program) {
  int fd = open(program.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  struct stat status;
  std::string head;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    head.resize(64 * 1024);
    ssize_t n = pread(fd, head.data(), head.size(), 0);
    head.resize(n > 0 ? size_t(n) : 0);
  }
  close(fd);
  if (head.size() < 64 || !head.starts_with("\x7f"
                                            "ELF"))
    return nullptr;
  int bits = head[4] == 1 ? 32 : head[4] == 2 ? 64 : 0;
  bool big = head[5] == 2;
  auto number = [&](size_t at, size_t size) -> uint64_t { // in the file's byte order
    uint64_t value = 0;
    for (size_t i = 0; i < size && at + size <= head.size(); ++i)
      value |= uint64_t(static_cast<unsigned char>(head[at + (big ? size - 1 - i : i)])) << (8 * i);
    return value;
  };
  int machine = int(number(18, 2));
  uint64_t table = bits == 32 ? number(28, 4) : number(32, 8);
  uint64_t entrySize = number(bits == 32 ? 42 : 54, 2), entries = number(bits == 32 ? 44 : 56, 2);
  std::string loader;
  for (uint64_t i = 0; i < entries && entrySize > 0 && table < head.size(); ++i) {
    size_t at = size_t(table + i * entrySize);
    if (at + entrySize > head.size() || number(at, 4) != 3) // PT_INTERP
      continue;
    uint64_t offset = bits == 32 ? number(at + 4, 4) : number(at + 8, 8);
    uint64_t size = bits == 32 ? number(at + 16, 4) : number(at + 32, 8);
    if (offset < head.size() && size <= head.size() - offset)
      loader = std::string(head.c_str() + offset);
  }
  for (const auto &p : processors::all)
    if (p.bits == bits && p.bigEndian == big && p.machine == machine && loader == p.loader)
      return &p;
  return nullptr;
}

} // namespace elf
