# cmake -DMODE=package|subdirectory -DBUILD_DIR=... -DSOURCE_DIR=... -DSUPPORT_ARCH=... -DTOOLCHAIN=...
#       -DSTART=... -DRUNNER=... -DCTEST=... -P roundtrip.cmake
# package: installs BUILD_DIR into a fresh prefix and builds the consumer project against it.
# subdirectory: builds the consumer project with SOURCE_DIR added as a subdirectory.
# Either way the consumer's own tests then start the programs and check what they write, started
# as the build decided (START, RUNNER) or as SUPPORT_PROGRAMS_RUNNER in the environment says.
set(work ${BUILD_DIR}/consumer-${MODE})
file(REMOVE_RECURSE ${work})

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

if(MODE STREQUAL "package")
  step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${work}/prefix)
  set(use -DCMAKE_PREFIX_PATH=${work}/prefix)
else()
  set(use -DSUPPORT_PROGRAMS_SOURCE=${SOURCE_DIR} -DSUPPORT_ARCH=${SUPPORT_ARCH})
  if(TOOLCHAIN)
    list(APPEND use -DSUPPORT_I386_TOOLCHAIN=${TOOLCHAIN})
  endif()
endif()
if(DEFINED ENV{SUPPORT_PROGRAMS_RUNNER})
  set(RUNNER "$ENV{SUPPORT_PROGRAMS_RUNNER}")
  set(START runner)
  if(RUNNER STREQUAL "")
    set(START direct)
  endif()
endif()
step(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${work}/build ${use}
     -DSUPPORT_PROGRAMS_START=${START} "-DSUPPORT_PROGRAMS_RUNNER=${RUNNER}")
step(${CMAKE_COMMAND} --build ${work}/build)
step(${CTEST} --test-dir ${work}/build --output-on-failure)
