# How the programs are started on the host that runs them: directly, or through a runner (an
# emulator such as qemu-i386) where the kernel cannot start them. The build decides this for its
# own tests, and the installed package decides it again on each consumer's host.
#
#   SUPPORT_PROGRAMS_START   auto: directly if this host starts them, else through the runner;
#                            direct or runner: force that decision.
#   SUPPORT_PROGRAMS_RUNNER  the runner's command line; empty: qemu for their processor from the
#                            PATH.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/SupportProcessors.cmake)

set(SUPPORT_PROGRAMS_START auto CACHE STRING
    "How the programs are started: auto (directly where this host can), direct or runner")
set_property(CACHE SUPPORT_PROGRAMS_START PROPERTY STRINGS auto direct runner)
set(SUPPORT_PROGRAMS_RUNNER "" CACHE STRING
    "Command line that starts the programs through a runner (empty: qemu-<processor>)")

# support_programs_runner(PROCESSOR STARTS LAUNCHER PROBLEM): sets LAUNCHER to the command line
# that starts PROCESSOR's programs on this host, empty where STARTS says that they start
# directly; else qemu for them from the PATH, given the loader of Debian's cross sysroot where
# the host has none. PROBLEM says why there is none, or is empty.
function(support_programs_runner processor starts launcher_var problem_var)
  set(launcher "")
  set(problem "")
  if(NOT starts)
    support_processor(${processor} qemu qemu_name)
    support_processor(${processor} loader loader)
    support_processor(${processor} triple triple)
    support_processor(${processor} debian debian)
    find_program(qemu ${qemu_name} NO_CACHE)
    if(qemu AND (EXISTS "${loader}" OR NOT loader))
      set(launcher ${qemu})
    elseif(qemu AND EXISTS "/usr/${triple}${loader}")
      set(launcher ${qemu} -L /usr/${triple})
    elseif(qemu)
      string(CONCAT problem "${qemu_name} finds no ${loader} to start them with: install "
                    "Debian's cross C library for them (package libc6-${debian}-cross) and "
                    "configure again")
    else()
      string(CONCAT problem "${qemu_name} was not found: to run them here, install it "
                    "(sudo apt-get install qemu-user) and configure again")
    endif()
  endif()
  set(${launcher_var} "${launcher}" PARENT_SCOPE)
  set(${problem_var} "${problem}" PARENT_SCOPE)
endfunction()

# support_programs_launch(LAUNCHER TARGET...): tests that name the targets as their command start
# them through LAUNCHER (a list; empty: directly).
function(support_programs_launch launcher)
  # add_test(COMMAND <target>) starts the target through CROSSCOMPILING_EMULATOR up to CMake 3.28,
  # and through TEST_LAUNCHER from 3.29, which would prepend both, one after the other (under
  # policy CMP0158, new in 3.29, CROSSCOMPILING_EMULATOR only where cross-compiling): so only the
  # one this CMake reads is set.
  set(property CROSSCOMPILING_EMULATOR)
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.29)
    set(property TEST_LAUNCHER)
  endif()
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES ${property} "${launcher}")
  endforeach()
endfunction()

# support_programs_choose_start(PROCESSOR STARTS TARGET...): STARTS says whether a program built
# like them ran here. Sets the targets' test launcher and the cache entries
# SUPPORT_PROGRAMS_LAUNCHER (empty: directly) and SUPPORT_PROGRAMS_PROBLEM (why they cannot be
# started here, or empty).
function(support_programs_choose_start processor starts)
  if(NOT SUPPORT_PROGRAMS_START MATCHES "^(auto|direct|runner)$")
    message(FATAL_ERROR
      "SUPPORT_PROGRAMS_START is '${SUPPORT_PROGRAMS_START}'; use auto, direct or runner.")
  endif()
  support_processor(${processor} kind kind)
  if(NOT kind)
    set(kind ${processor})
  endif()
  support_processor(${processor} loader loader)
  if(loader AND NOT EXISTS "${loader}")
    set(cannot "this host has no ${loader} to start ${kind} programs with")
  else()
    set(cannot "this kernel cannot start ${kind} programs")
  endif()

  set(launcher "")
  set(problem "")
  if(SUPPORT_PROGRAMS_START STREQUAL "direct" OR (SUPPORT_PROGRAMS_START STREQUAL "auto" AND starts))
    if(NOT starts)
      set(problem "${cannot}, and SUPPORT_PROGRAMS_START is direct: set it to auto or runner")
    endif()
  else()
    if(starts)
      set(why "SUPPORT_PROGRAMS_START is runner")
    else()
      set(why "${cannot}")
    endif()
    if(SUPPORT_PROGRAMS_RUNNER)
      separate_arguments(launcher UNIX_COMMAND "${SUPPORT_PROGRAMS_RUNNER}")
    else()
      support_programs_runner(${processor} FALSE launcher problem)
      if(problem)
        set(problem "${why}, and ${problem}")
      endif()
    endif()
    if(launcher)
      list(JOIN launcher " " shown)
      message(STATUS "${why}; the tests run them under ${shown}")
    endif()
  endif()
  if(problem)
    message(WARNING "${problem}.")
  endif()

  support_programs_launch("${launcher}" ${ARGN})
  set(SUPPORT_PROGRAMS_LAUNCHER "${launcher}" CACHE INTERNAL "How the programs are started")
  set(SUPPORT_PROGRAMS_PROBLEM "${problem}" CACHE INTERNAL "Why they cannot be started here")
endfunction()
