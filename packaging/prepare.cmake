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
# cpack says of each package without a Depends line that it "will have no dependencies": true of
# the processors' packages, which only recommend what starts their programs.
message(STATUS "The processors' packages depend on nothing: they recommend the C library for "
               "their programs and qemu-user (cpack's \"no dependencies\" lines are theirs)")

# Each package names the C library at the newest version its files ask for (their GLIBC_x.y
# symbol versions), read from the files themselves: the same on every build host, unlike what
# dpkg-shlibdeps finds there. support-programs depends on libc6 for the checker; a processor's
# package recommends what starts its programs: the C library for them, and qemu-user.
function(newest_glibc var)
  set(newest 2.0)
  foreach(file IN LISTS ARGN)
    file(STRINGS "${file}" versions REGEX "^GLIBC_[0-9]+\\.[0-9.]+$")
    foreach(version IN LISTS versions)
      string(REPLACE "GLIBC_" "" version "${version}")
      if(version VERSION_GREATER newest)
        set(newest ${version})
      endif()
    endforeach()
  endforeach()
  set(${var} ${newest} PARENT_SCOPE)
endfunction()
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  if(component STREQUAL "tools")
    newest_glibc(version ${CPACK_SUPPORT_CHECKER})
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= ${version})")
    if(CPACK_SUPPORT_RE2_PACKAGE)
      # Linked to RE2's shared library, whose package's name (and what it provides) its own
      # shlibs file says best: the checker depends on what dpkg-shlibdeps names; else on the
      # package that holds the library.
      get_filename_component(shlibs "${CPACK_SUPPORT_CHECKER}" DIRECTORY)
      set(shlibs "${shlibs}/../shlibs")
      file(MAKE_DIRECTORY "${shlibs}/debian")
      file(TOUCH "${shlibs}/debian/control")
      execute_process(COMMAND dpkg-shlibdeps -O "${CPACK_SUPPORT_CHECKER}"
                      WORKING_DIRECTORY "${shlibs}" OUTPUT_VARIABLE named RESULT_VARIABLE failed
                      ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT failed AND named MATCHES "^shlibs:Depends=(libc6 .*)$")
        set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
      else()
        string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", ${CPACK_SUPPORT_RE2_PACKAGE}")
      endif()
    endif()
  else()
    newest_glibc(version ${CPACK_SUPPORT_PROGRAMS_${upper}})
    string(REPLACE " | " " (>= ${version}) | " libraries "${CPACK_SUPPORT_LIBRARY_${upper}}")
    set(CPACK_DEBIAN_${upper}_PACKAGE_RECOMMENDS "${libraries} (>= ${version}), qemu-user")
  endif()
endforeach()
