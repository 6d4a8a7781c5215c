# Read by cpack before it packages anything (CPACK_PROJECT_CONFIG_FILE).
#
# Every time inside the packages comes from SOURCE_DATE_EPOCH: the caller's own if set, else the
# time of the source's last commit, else a fixed date for sources outside git. Never the wall
# clock.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -c safe.directory=* -C "${CPACK_SUPPORT_SOURCE_DIR}"
                          log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 1796083200) # 2026-12-01 00:00:00 UTC
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

# Given CPACK_SUPPORT_C_LIBRARY, the .deb depends on that package at the newest C library
# version the programs ask for (their GLIBC_x.y symbol versions), read from the programs
# themselves: the same on every build host, unlike what dpkg-shlibdeps finds there.
if(CPACK_SUPPORT_C_LIBRARY)
  set(newest 2.0)
  foreach(program IN LISTS CPACK_SUPPORT_PROGRAMS)
    file(STRINGS "${program}" versions REGEX "^GLIBC_[0-9]+\\.[0-9.]+$")
    foreach(version IN LISTS versions)
      string(REPLACE "GLIBC_" "" version "${version}")
      if(version VERSION_GREATER newest)
        set(newest ${version})
      endif()
    endforeach()
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_SUPPORT_C_LIBRARY} (>= ${newest})")
endif()
