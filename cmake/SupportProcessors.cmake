# Reads processors.txt beside this file: what the project knows about each processor.
#
#   support_processor(PROCESSOR COLUMN VAR): sets VAR to COLUMN (a heading of the table) of
#   PROCESSOR's row; PROCESSOR may be CMake's name (i686 counts as i386) or Debian's. VAR is empty
#   for a processor the table does not know.
include_guard(GLOBAL)
set_property(GLOBAL PROPERTY SUPPORT_PROCESSORS_TABLE ${CMAKE_CURRENT_LIST_DIR}/processors.txt)

function(support_processor processor column var)
  string(REGEX REPLACE "^i[3-6]86$" i386 processor "${processor}")
  string(REGEX REPLACE "^AMD64$" x86_64 processor "${processor}")
  get_property(table GLOBAL PROPERTY SUPPORT_PROCESSORS_TABLE)
  file(STRINGS ${table} rows REGEX "^[^# ]")
  list(POP_FRONT rows heading)
  string(REGEX MATCHALL "[^ ]+" headings "${heading}")
  list(GET headings -1 heading_last)
  list(FIND headings ${column} at)
  if(at LESS 0)
    message(FATAL_ERROR "${table} has no column '${column}'")
  endif()
  set(value "")
  foreach(row IN LISTS rows)
    string(REGEX MATCHALL "[^ ]+" cells "${row}")
    list(GET cells 0 name)
    list(GET cells 1 debian)
    if(processor STREQUAL name OR processor STREQUAL debian)
      if(column STREQUAL heading_last) # the last column takes the rest of the row
        list(SUBLIST cells ${at} -1 value)
        list(JOIN value " " value)
      else()
        list(GET cells ${at} value)
      endif()
      break()
    endif()
  endforeach()
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

#   support_processors(COLUMN VAR): sets VAR to the list of COLUMN in every row, in the table's
#   order.
function(support_processors column var)
  get_property(table GLOBAL PROPERTY SUPPORT_PROCESSORS_TABLE)
  file(STRINGS ${table} rows REGEX "^[^# ]")
  list(POP_FRONT rows heading)
  string(REGEX MATCHALL "[^ ]+" headings "${heading}")
  list(FIND headings ${column} at)
  set(values)
  foreach(row IN LISTS rows)
    string(REGEX MATCHALL "[^ ]+" cells "${row}")
    list(GET cells ${at} value)
    list(APPEND values ${value})
  endforeach()
  set(${var} ${values} PARENT_SCOPE)
endfunction()

#   support_cross_packages(DEBIAN VAR): sets VAR to the Debian packages, separated by spaces, that
#   build programs for the processor DEBIAN with clang.
function(support_cross_packages debian var)
  support_processor(${debian} linker linker)
  string(REPLACE "_" "-" binutils "binutils-${linker}")
  execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gxx OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  string(REGEX MATCH "^[0-9]+" gxx "${gxx}")
  if(NOT gxx)
    set(gxx "<N>")
  endif()
  set(${var} "clang ${binutils} libc6-dev-${debian}-cross libgcc-${gxx}-dev-${debian}-cross libstdc++-${gxx}-dev-${debian}-cross" PARENT_SCOPE)
endfunction()
