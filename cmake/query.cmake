# What the scripts ask of the processors table before anything is configured, answered by the
# same functions configure uses, on standard output:
#   cmake -DSUPPORT_ARCH=VALUE -P cmake/query.cmake      the processors VALUE chooses
#   cmake -DPACKAGES_OF=DEBIAN -P cmake/query.cmake      the packages that build DEBIAN's programs
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/SupportProcessors.cmake)
if(DEFINED PACKAGES_OF)
  support_cross_packages("${PACKAGES_OF}" answer)
elseif(DEFINED SUPPORT_ARCH)
  support_chosen_arches("${SUPPORT_ARCH}" answer)
  list(JOIN answer " " answer)
else()
  message(FATAL_ERROR "give -DSUPPORT_ARCH=VALUE or -DPACKAGES_OF=DEBIAN before -P")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${answer}")
