# Reads processors.txt beside this file: what the project knows about each processor.
#
#   support_processor(PROCESSOR COLUMN VAR): sets VAR to COLUMN (a heading of the table) of
#   PROCESSOR's row; PROCESSOR may be CMake's name (i686 counts as i386) or Debian's. VAR is empty
#   for a processor the table does not know.
include_guard(GLOBAL)
set_property(GLOBAL PROPERTY SUPPORT_PROCESSORS_TABLE ${CMAKE_CURRENT_LIST_DIR}/processors.txt)

# The table's one reader: sets VAR to COLUMN of the row of PROCESSOR, or, with PROCESSOR empty,
# to the list of COLUMN of every row. Cells are separated by one or more tabs and may hold spaces.
function(_support_table processor column var)
  string(REGEX REPLACE "^i[3-6]86$" i386 processor "${processor}")
  string(REGEX REPLACE "^AMD64$" x86_64 processor "${processor}")
  get_property(table GLOBAL PROPERTY SUPPORT_PROCESSORS_TABLE)
  file(STRINGS ${table} rows REGEX "^[^#]")
  list(POP_FRONT rows heading)
  string(REGEX REPLACE "\t+" ";" headings "${heading}")
  list(FIND headings ${column} at)
  if(at LESS 0)
    message(FATAL_ERROR "${table} has no column '${column}'")
  endif()
  set(values "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "\t+" ";" cells "${row}")
    list(GET cells 0 name)
    list(GET cells 1 debian)
    list(GET cells ${at} value)
    if(processor STREQUAL "")
      list(APPEND values "${value}")
    elseif(processor STREQUAL name OR processor STREQUAL debian)
      set(values "${value}")
      break()
    endif()
  endforeach()
  set(${var} "${values}" PARENT_SCOPE)
endfunction()

function(support_processor processor column var)
  if(processor STREQUAL "")
    set(${var} "" PARENT_SCOPE)
    return()
  endif()
  _support_table("${processor}" ${column} value)
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

#   support_processors(COLUMN VAR): sets VAR to the list of COLUMN in every row, in the table's
#   order.
function(support_processors column var)
  _support_table("" ${column} values)
  set(${var} "${values}" PARENT_SCOPE)
endfunction()

#   support_chosen_arches(VALUE VAR): sets VAR to the processors, by Debian name, that SUPPORT_ARCH
#   VALUE names (separated by commas or semicolons): all is every row whose back end this host's
#   clang++ has. Names are not checked here.
function(support_chosen_arches value var)
  string(REPLACE "," ";" arches "${value}")
  if(arches STREQUAL "all")
    execute_process(COMMAND clang++ -print-targets OUTPUT_VARIABLE backends ERROR_QUIET)
    support_processors(debian known)
    set(arches "")
    foreach(arch IN LISTS known)
      support_processor(${arch} llvm llvm)
      if(backends MATCHES "\n *${llvm} ")
        list(APPEND arches ${arch})
      endif()
    endforeach()
  endif()
  set(${var} "${arches}" PARENT_SCOPE)
endfunction()

#   support_cross_packages(DEBIAN VAR [MISSING]): sets VAR to the Debian packages, separated by
#   spaces, that build programs for the processor DEBIAN with clang; with MISSING, only those
#   whose files are not here.
function(support_cross_packages debian var)
  support_processor(${debian} linker linker)
  support_processor(${debian} triple triple)
  string(REPLACE "_" "-" binutils "binutils-${linker}")
  execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gxx OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  string(REGEX MATCH "^[0-9]+" gxx "${gxx}")
  if(NOT gxx)
    set(gxx "<N>")
  endif()
  set(packages clang ${binutils} libc6-dev-${debian}-cross libgcc-${gxx}-dev-${debian}-cross
      libstdc++-${gxx}-dev-${debian}-cross)
  if("${ARGN}" STREQUAL "MISSING") # each package, by a file of its own
    find_program(clang NAMES clang++ clang++-19 clang++-18 clang++-16 clang++-14 NO_CACHE)
    find_program(ld ${linker}-ld NO_CACHE)
    file(GLOB cxx /usr/${triple}/include/c++/*/${triple}/bits/c++config.h)
    if(clang)
      list(REMOVE_ITEM packages clang)
    endif()
    if(ld)
      list(REMOVE_ITEM packages ${binutils})
    endif()
    if(EXISTS /usr/${triple}/lib/libc.so.6)
      list(REMOVE_ITEM packages libc6-dev-${debian}-cross)
    endif()
    if(IS_DIRECTORY /usr/lib/gcc-cross/${triple})
      list(REMOVE_ITEM packages libgcc-${gxx}-dev-${debian}-cross)
    endif()
    if(cxx)
      list(REMOVE_ITEM packages libstdc++-${gxx}-dev-${debian}-cross)
    endif()
  endif()
  list(JOIN packages " " packages)
  set(${var} "${packages}" PARENT_SCOPE)
endfunction()

#   support_cross_check(DEBIAN): stops configure, in one message, where the toolchain that builds
#   the programs for DEBIAN is not all here, naming the packages missing.
function(support_cross_check debian)
  support_cross_packages(${debian} missing MISSING)
  if(missing)
    support_processor(${debian} kind kind)
    message(FATAL_ERROR
      "The ${kind} programs (${debian}) are built with clang and Debian's ${debian} cross "
      "sysroot, and this host lacks some of it. On Debian or Ubuntu install, as root:\n"
      "  apt-get install --no-install-recommends ${missing}\n"
      "(or run scripts/build.sh with the same options, which installs them)")
  endif()
endfunction()
