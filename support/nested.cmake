# Included by CMakeLists.txt here for 32-bit x86 programs: configures this folder again, now, as
# a build of its own with the 32-bit toolchain, so that a missing toolchain stops this configure
# with the toolchain's own message; builds it as the target support-programs; and imports its
# programs as SupportPrograms::<name>. Its install rules become this project's.
set(SUPPORT_I386_TOOLCHAIN clang CACHE STRING
    "Toolchain of the 32-bit x86 programs: clang (the same bytes on any build host), multilib (g++ -m32) or a toolchain file")
set_property(CACHE SUPPORT_I386_TOOLCHAIN PROPERTY STRINGS clang multilib)
set(toolchain_clang ${root}/cmake/toolchains/i686-linux-gnu.cmake)
set(toolchain_multilib ${root}/cmake/toolchains/i386-multilib.cmake)
set(toolchain ${toolchain_${SUPPORT_I386_TOOLCHAIN}})
if(NOT toolchain)
  get_filename_component(toolchain ${SUPPORT_I386_TOOLCHAIN} ABSOLUTE BASE_DIR ${root})
endif()

set(nested ${CMAKE_CURRENT_BINARY_DIR}/i386)
set(SUPPORT_PROGRAMS_NESTED_DIR ${nested} PARENT_SCOPE)
set(build_type ${CMAKE_BUILD_TYPE})
if(NOT build_type)
  set(build_type Release)
endif()
message(STATUS "Configuring the 32-bit x86 programs in ${nested}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_SOURCE_DIR} -B ${nested} -G ${CMAKE_GENERATOR}
          --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=${build_type}
          -DSUPPORT_PROGRAMS_NESTED=ON -DSUPPORT_PROGRAMS_VERSION=${PROJECT_VERSION}
          -DSUPPORT_PROGRAMS_INSTALL=${SUPPORT_PROGRAMS_INSTALL}
          -DSUPPORT_PROGRAMS_OUTPUT_DIR=${CMAKE_CURRENT_BINARY_DIR}
  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(failed)
  string(REGEX REPLACE "\n*-- Configuring incomplete, errors occurred!.*" "" errors "${errors}")
  message(FATAL_ERROR "The 32-bit x86 programs cannot be configured with ${toolchain}:\n"
                      "${errors}")
endif()

# Unset MAKEFLAGS: the nested build runs as a command of its own, not as a part of this make.
add_custom_target(support-programs ALL
                  COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS ${CMAKE_COMMAND} --build ${nested}
                  COMMENT "Building the 32-bit x86 programs" VERBATIM)
foreach(program IN LISTS names)
  add_executable(SupportPrograms::${program} IMPORTED GLOBAL)
  set_target_properties(SupportPrograms::${program} PROPERTIES
                        IMPORTED_LOCATION ${CMAKE_CURRENT_BINARY_DIR}/${program})
endforeach()
if(SUPPORT_PROGRAMS_INSTALL)
  install(SCRIPT ${nested}/cmake_install.cmake)
endif()

# Whether this host starts them: the nested build made a probe with the programs' own flags.
set(processor i386)
execute_process(COMMAND ${nested}/start-probe RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
set(starts FALSE)
if(status STREQUAL "0")
  set(starts TRUE)
endif()
