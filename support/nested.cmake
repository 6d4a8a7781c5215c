# Included by CMakeLists.txt here where the programs are built for processors of
# cmake/processors.txt (SUPPORT_ARCH, by Debian name) rather than natively. For each, configures
# this folder again, now, as a build of its own in <debian>/ with that processor's toolchain, so
# that a missing toolchain stops this configure with the toolchain's own message; builds it as
# support-programs-<debian>; and imports its programs as SupportPrograms::<debian>::<name>. The
# first processor's programs are also build/support/<name> and SupportPrograms::<name>. Their
# install rules become this project's.
#
# A processor's toolchain is clang with Debian's cross sysroot (toolchains/debian-cross.cmake,
# the same bytes on every build host), unless SUPPORT_<DEBIAN>_TOOLCHAIN names another: a file of
# toolchains/ named <debian>-<value>.cmake (SUPPORT_I386_TOOLCHAIN=multilib), or a toolchain file.
include(${root}/cmake/SupportProgramsStart.cmake)
set(build_type ${CMAKE_BUILD_TYPE})
if(NOT build_type)
  set(build_type Release)
endif()
list(GET SUPPORT_ARCH 0 primary)
add_custom_target(support-programs ALL)
set(SUPPORT_PROGRAMS_NESTED_DIR ${CMAKE_CURRENT_BINARY_DIR}/${primary} PARENT_SCOPE)
set(built)
foreach(arch IN LISTS SUPPORT_ARCH)
  string(TOUPPER ${arch} upper)
  set(SUPPORT_${upper}_TOOLCHAIN clang CACHE STRING
      "Toolchain of the ${arch} programs: clang (the same bytes on any build host), the name of another in cmake/toolchains, or a toolchain file")
  set(choice ${SUPPORT_${upper}_TOOLCHAIN})
  if(choice STREQUAL "clang")
    set(toolchain ${root}/cmake/toolchains/debian-cross.cmake)
    support_cross_check(${arch}) # here, rather than in the nested configure's error output
  elseif(EXISTS ${root}/cmake/toolchains/${arch}-${choice}.cmake)
    set(toolchain ${root}/cmake/toolchains/${arch}-${choice}.cmake)
  else()
    get_filename_component(toolchain ${choice} ABSOLUTE BASE_DIR ${root})
  endif()

  set(nested ${CMAKE_CURRENT_BINARY_DIR}/${arch})
  set(is_primary OFF)
  if(arch STREQUAL primary)
    set(is_primary ON)
  endif()
  support_processor(${arch} kind kind)
  # Another toolchain, or a changed one or row, than the nested build was configured with needs a
  # fresh one: a toolchain's settings only seed a new cache.
  file(SHA256 ${toolchain} toolchain_sum)
  file(SHA256 ${root}/cmake/processors.txt table_sum)
  set(stamp "${toolchain} ${toolchain_sum} ${table_sum}")
  set(was "")
  if(EXISTS ${nested}/toolchain.stamp)
    file(READ ${nested}/toolchain.stamp was)
  endif()
  if(NOT was STREQUAL stamp)
    file(REMOVE_RECURSE ${nested}/CMakeCache.txt ${nested}/CMakeFiles)
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${toolchain}
                                                                 ${root}/cmake/processors.txt)
  message(STATUS "Configuring the ${kind} programs in ${nested}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_SOURCE_DIR} -B ${nested} -G ${CMAKE_GENERATOR}
            --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=${build_type}
            -DSUPPORT_TARGET=${arch} -DSUPPORT_PROGRAMS_NESTED=ON
            -DSUPPORT_PROGRAMS_VERSION=${PROJECT_VERSION}
            -DSUPPORT_PROGRAMS_INSTALL=${SUPPORT_PROGRAMS_INSTALL}
            -DSUPPORT_PROGRAMS_PRIMARY=${is_primary}
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(failed)
    string(REGEX REPLACE "\n*-- Configuring incomplete, errors occurred!.*" "" errors "${errors}")
    message(FATAL_ERROR "The ${kind} programs cannot be configured with ${toolchain}:\n${errors}")
  endif()
  file(WRITE ${nested}/toolchain.stamp "${stamp}")

  # Unset MAKEFLAGS: the nested build runs as a command of its own, not as a part of this make.
  set(copies)
  if(is_primary)
    set(copies COMMAND ${CMAKE_COMMAND} -E copy ${names} ${CMAKE_CURRENT_BINARY_DIR}/)
  endif()
  add_custom_target(support-programs-${arch}
                    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL ${CMAKE_COMMAND} --build ${nested}
                    ${copies}
                    WORKING_DIRECTORY ${nested}
                    COMMENT "Building the ${kind} programs" VERBATIM)
  add_dependencies(support-programs support-programs-${arch})
  foreach(program IN LISTS names)
    add_executable(SupportPrograms::${arch}::${program} IMPORTED GLOBAL)
    set_target_properties(SupportPrograms::${arch}::${program} PROPERTIES
                          IMPORTED_LOCATION ${nested}/${program})
    if(is_primary)
      add_executable(SupportPrograms::${program} IMPORTED GLOBAL)
      set_target_properties(SupportPrograms::${program} PROPERTIES
                            IMPORTED_LOCATION ${CMAKE_CURRENT_BINARY_DIR}/${program})
    endif()
    list(APPEND files ${nested}/${program})
  endforeach()
  if(SUPPORT_PROGRAMS_INSTALL)
    install(SCRIPT ${nested}/cmake_install.cmake ALL_COMPONENTS)
  endif()

  # How this host starts them: directly where a probe built like them runs, else through qemu.
  execute_process(COMMAND ${nested}/start-probe RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  set(arch_starts FALSE)
  if(status STREQUAL "0")
    set(arch_starts TRUE)
  endif()
  support_programs_runner(${arch} ${arch_starts} runner problem)
  list(TRANSFORM names PREPEND SupportPrograms::${arch}:: OUTPUT_VARIABLE targets)
  support_programs_launch("${runner}" ${targets})
  set_property(GLOBAL PROPERTY SUPPORT_PROGRAMS_RUNNER_${arch} "${runner}")
  set_property(GLOBAL PROPERTY SUPPORT_PROGRAMS_DIR_${arch} ${nested})
  if(is_primary)
    set(starts ${arch_starts})
  endif()
endforeach()
set(processor ${primary})
