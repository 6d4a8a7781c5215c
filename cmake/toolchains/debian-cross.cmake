# Builds the programs for one processor of processors.txt, SUPPORT_TARGET (its Debian name), with
# clang and Debian's cross sysroot for it, on any build host. The toolchain is the same on every
# host (only the compiler's own processor differs), so the programs are the same bytes wherever
# they are built. Packages, with <N> the major version of the release's g++ (g++ -dumpversion):
#   clang binutils-<linker> libc6-dev-<debian>-cross libgcc-<N>-dev-<debian>-cross
#   libstdc++-<N>-dev-<debian>-cross
include(${CMAKE_CURRENT_LIST_DIR}/../SupportProcessors.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SUPPORT_TARGET)
support_processor("${SUPPORT_TARGET}" triple triple)
if(NOT triple)
  support_processors(debian known)
  list(JOIN known ", " known)
  message(FATAL_ERROR "SUPPORT_TARGET is '${SUPPORT_TARGET}'; it is one of ${known}.")
endif()
support_processor(${SUPPORT_TARGET} processor processor)
support_processor(${SUPPORT_TARGET} debian debian)
support_processor(${SUPPORT_TARGET} linker linker)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})

support_cross_check(${debian})
find_program(SUPPORT_CROSS_CLANG NAMES clang++ clang++-19 clang++-18 clang++-16 clang++-14)
find_program(SUPPORT_CROSS_LD ${linker}-ld)
set(CMAKE_CXX_COMPILER ${SUPPORT_CROSS_CLANG})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# Headers, start files and libraries from the cross sysroot and GCC's cross support files only,
# never from the build host's own /usr/include or /usr/lib. Debian's cross linker scripts name
# their libraries by absolute path, so the linker itself looks from /.
set(CMAKE_SYSROOT /usr/${triple})
# GCC's start files and libraries from its cross packages alone. Handed /usr, clang would take the
# build host's own GCC (/usr/lib/gcc/<triple>) for the host's own processor, and for any other
# whose native GCC the host has installed (i386 where multiarch brought libgcc-<N>-dev:i386): its
# start files differ from the cross ones, and so would the programs. A prefix of this build's
# that holds only the cross files leaves clang one choice on every host.
set(support_cross_gcc ${CMAKE_BINARY_DIR}/cross-gcc)
file(MAKE_DIRECTORY ${support_cross_gcc}/lib/gcc-cross)
file(CREATE_LINK /usr/lib/gcc-cross/${triple} ${support_cross_gcc}/lib/gcc-cross/${triple} SYMBOLIC)
file(CREATE_LINK /usr/${triple} ${support_cross_gcc}/${triple} SYMBOLIC)
set(CMAKE_CXX_COMPILER_EXTERNAL_TOOLCHAIN ${support_cross_gcc})
# The row's linker, named, rather than whichever clang would find first.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--sysroot=/ --ld-path=${SUPPORT_CROSS_LD}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
