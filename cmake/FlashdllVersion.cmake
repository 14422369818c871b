# The library's version has one source, the macros of the public header:
# this sets FLASHDLL_VERSION ("1.0.0") and FLASHDLL_VERSION_MAJOR, _MINOR and
# _PATCH from them, and stops when FLASHDLL_VERSION_STRING disagrees with
# the three numbers.
set(_flashdll_header "${CMAKE_CURRENT_LIST_DIR}/../include/flashdll/flashdll.h")
file(STRINGS "${_flashdll_header}" _flashdll_version_lines REGEX "^#define FLASHDLL_VERSION_")
foreach(_part MAJOR MINOR PATCH)
  if(NOT _flashdll_version_lines MATCHES "FLASHDLL_VERSION_${_part} +([0-9]+)")
    message(FATAL_ERROR "${_flashdll_header} defines no FLASHDLL_VERSION_${_part}")
  endif()
  set(FLASHDLL_VERSION_${_part} ${CMAKE_MATCH_1})
endforeach()
set(FLASHDLL_VERSION "${FLASHDLL_VERSION_MAJOR}.${FLASHDLL_VERSION_MINOR}.${FLASHDLL_VERSION_PATCH}")
if(NOT _flashdll_version_lines MATCHES "FLASHDLL_VERSION_STRING +\"([^\"]*)\"")
  message(FATAL_ERROR "${_flashdll_header} defines no FLASHDLL_VERSION_STRING")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL FLASHDLL_VERSION)
  message(FATAL_ERROR "FLASHDLL_VERSION_STRING \"${CMAKE_MATCH_1}\" disagrees with the version numbers ${FLASHDLL_VERSION}")
endif()
