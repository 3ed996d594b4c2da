# The project's version in the forms the build needs, and the check that the
# header's VX_LIB_VERSION (what VxGetLibVersion reports: one byte per part,
# major first) says the same: a release must not report another version than
# its packages carry.
#   VXBRIDGE_FILE_VERSION         1.0.0.0 (Windows version resources have four parts)
#   VXBRIDGE_FILE_VERSION_COMMAS  1,0,0,0
set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
if(PROJECT_VERSION_TWEAK STREQUAL "")
  list(APPEND parts 0)
else()
  list(APPEND parts ${PROJECT_VERSION_TWEAK})
endif()
list(JOIN parts "." VXBRIDGE_FILE_VERSION)
list(JOIN parts "," VXBRIDGE_FILE_VERSION_COMMAS)

set(header ${PROJECT_SOURCE_DIR}/include/vxbridge.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
file(STRINGS ${header} line REGEX "^#define VX_LIB_VERSION ")
if(NOT line MATCHES "^#define VX_LIB_VERSION 0x([0-9A-Fa-f]+)u?$")
  message(FATAL_ERROR "${header}: no '#define VX_LIB_VERSION 0x...u' line")
endif()
math(EXPR header_version "0x${CMAKE_MATCH_1}")
set(expected 0)
foreach(part IN LISTS parts)
  if(part GREATER 255)
    message(FATAL_ERROR "version ${VXBRIDGE_FILE_VERSION}: each part must fit in one byte")
  endif()
  math(EXPR expected "(${expected} << 8) | ${part}")
endforeach()
if(NOT header_version EQUAL expected)
  math(EXPR expected_hex "${expected}" OUTPUT_FORMAT HEXADECIMAL)
  message(FATAL_ERROR "VX_LIB_VERSION in ${header} is 0x${CMAKE_MATCH_1}, but the project "
                      "version ${PROJECT_VERSION} makes ${expected_hex}: change both together")
endif()
unset(parts)
unset(header)
unset(line)
unset(expected)
unset(header_version)
