# Builds 32-bit x86 programs with clang and Debian's i386 cross sysroot, on any build host. The
# toolchain is the same on every host (only the compiler's own processor differs), so the
# programs are the same bytes whether built on 64-bit x86 or 64-bit ARM. Packages:
#   clang binutils-i686-linux-gnu libc6-dev-i386-cross libstdc++-<N>-dev-i386-cross
# with <N> the major version of the release's g++ (g++ -dumpversion).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triple i686-linux-gnu)

find_program(SUPPORT_I386_CLANG NAMES clang++ clang++-19 clang++-18 clang++-16 clang++-14)
find_program(SUPPORT_I386_LD ${triple}-ld)
file(GLOB support_i386_cxx_headers /usr/${triple}/include/c++/*/${triple}/bits/c++config.h)
if(NOT SUPPORT_I386_CLANG OR NOT SUPPORT_I386_LD OR NOT support_i386_cxx_headers
   OR NOT EXISTS /usr/${triple}/lib/libc.so.6)
  execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gxx OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  string(REGEX MATCH "^[0-9]+" gxx "${gxx}")
  if(NOT gxx)
    set(gxx "<N>")
  endif()
  message(FATAL_ERROR
    "The 32-bit x86 programs are built with clang and Debian's i386 cross sysroot, which are "
    "not all here. On Debian or Ubuntu install them with:\n"
    "  sudo apt-get install clang binutils-${triple} libc6-dev-i386-cross "
    "libstdc++-${gxx}-dev-i386-cross\n"
    "or, on 64-bit x86 with g++-multilib, configure with -DSUPPORT_I386_TOOLCHAIN=multilib.")
endif()
set(CMAKE_CXX_COMPILER ${SUPPORT_I386_CLANG})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# Headers, start files and libraries from the cross sysroot and GCC's cross support files only,
# never from the build host's own /usr/include or /usr/lib32. Debian's cross linker scripts name
# their libraries by absolute path, so the linker itself looks from /.
set(CMAKE_SYSROOT /usr/${triple})
set(CMAKE_CXX_COMPILER_EXTERNAL_TOOLCHAIN /usr)
set(CMAKE_EXE_LINKER_FLAGS_INIT -Wl,--sysroot=/)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
