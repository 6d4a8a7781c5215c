# Cross-builds the programs for 64-bit ARM Linux with Debian's cross toolchain:
#   cmake -S . -B build-aarch64 -DBUILD_TESTING=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# It uses aarch64-linux-gnu-g++ (package g++-aarch64-linux-gnu). Debian will not install that
# beside g++-multilib, so where only the cross sysroot is present it falls back to clang with
# that sysroot (packages clang binutils-aarch64-linux-gnu libstdc++-12-dev-arm64-cross).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${triple})

find_program(SUPPORT_CROSS_GXX ${triple}-g++)
find_program(SUPPORT_CROSS_CLANG NAMES clang++ clang++-14)
if(SUPPORT_CROSS_GXX)
  set(CMAKE_CXX_COMPILER ${SUPPORT_CROSS_GXX})
elseif(SUPPORT_CROSS_CLANG AND EXISTS /usr/lib/gcc-cross/${triple})
  set(CMAKE_CXX_COMPILER ${SUPPORT_CROSS_CLANG})
  set(CMAKE_CXX_COMPILER_TARGET ${triple})
else()
  message(FATAL_ERROR "No compiler for ${triple}. On Debian or Ubuntu install one with:\n"
    "  sudo apt-get install g++-aarch64-linux-gnu\n"
    "or, where g++-multilib is installed and blocks that package:\n"
    "  sudo apt-get install clang binutils-aarch64-linux-gnu libstdc++-12-dev-arm64-cross")
endif()
