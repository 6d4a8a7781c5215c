# Builds 32-bit x86 programs with the 64-bit x86 host's g++ -m32 (package g++-multilib), for
# machines that have that and not the cross sysroot. The programs differ in their bytes from
# those of the default toolchain (debian-cross.cmake), though not in what they do.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
find_program(SUPPORT_I386_GXX g++)
if(NOT DEFINED ENV{SUPPORT_I386_MULTILIB_CHECKED})
  execute_process(COMMAND ${SUPPORT_I386_GXX} -m32 -x c++ - -o /dev/null
                  INPUT_FILE ${CMAKE_CURRENT_LIST_DIR}/../probe.cpp
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(NOT SUPPORT_I386_GXX OR failed)
    message(FATAL_ERROR "g++ -m32 cannot link a 32-bit program here. On Debian or Ubuntu for "
      "64-bit x86 install:\n  sudo apt-get install g++-multilib\n"
      "or use the default toolchain (-DSUPPORT_I386_TOOLCHAIN=clang), which builds on any host.")
  endif()
  set(ENV{SUPPORT_I386_MULTILIB_CHECKED} 1)
endif()
set(CMAKE_CXX_COMPILER ${SUPPORT_I386_GXX})
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
