// The processor a program is built for, from its ELF header and the loader it names.
#pragma once

#include "processors.hpp"

#include <filesystem>

namespace elf {

// None where the file is no regular file, no ELF program, or one of a processor the table does
// not know. Never blocks: a FIFO in the program's place is no program.
const processors::Processor *processorOf(const std::filesystem::path &program);

} // namespace elf
