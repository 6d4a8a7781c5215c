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
