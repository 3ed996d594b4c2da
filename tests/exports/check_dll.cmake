cmake_minimum_required(VERSION 3.20)
# Checks a built vxbridge.dll: its export table (names and ordinals, nothing
# else), its import table (system DLLs only) and its version resource.
# Usage: cmake -DDLL=... -DOBJDUMP=... -DEXPECTED=... -DVERSION=1.0.0.0
#              [-DHOST=host.exe [-DHOST_IMPORTS_ALL=ON]] -P check_dll.cmake
# HOST: a program linked against the import library must import plain
# names from vxbridge.dll; with HOST_IMPORTS_ALL, every exported name.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "Ordinal Base ([0-9]+)" found "${dump}")
set(base ${CMAKE_MATCH_1})
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n((\t\\[ *[0-9]+\\] [A-Za-z0-9_@]+\n)*)" found "${dump}")
# "[" and "]" would group list items: the entries become "index name;".
string(REGEX REPLACE "\t\\[ *([0-9]+)\\] ([A-Za-z0-9_@]+)\n" "\\1 \\2;" entries "${CMAKE_MATCH_1}")
set(actual "")
foreach(entry IN LISTS entries)
  if(entry MATCHES "([0-9]+) (.+)")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND actual "${ordinal} ${CMAKE_MATCH_2}")
  endif()
endforeach()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
string(REPLACE "DLL Name: " "" imports "${imports}")
string(TOUPPER "${imports}" imports)

file(STRINGS ${EXPECTED} expected REGEX "^[0-9]")
list(SORT expected COMPARE NATURAL)
list(SORT actual COMPARE NATURAL)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "export table differs.\nexpected: ${expected}\nactual:   ${actual}")
endif()
list(REMOVE_ITEM imports KERNEL32.DLL WS2_32.DLL WSOCK32.DLL ADVAPI32.DLL MSVCRT.DLL)
if(imports)
  message(FATAL_ERROR "imports ${imports}, not system DLLs of the allowed list")
endif()

string(REPLACE "." "\\." version_pattern "${VERSION}")
foreach(needle "ProductName" "VxBridge" "${version_pattern}")
  file(STRINGS ${DLL} found ENCODING UTF-16LE REGEX "${needle}")
  if(NOT found OR NOT VERSION)
    message(FATAL_ERROR "version resource lacks ${needle}")
  endif()
endforeach()

# A host linked against the import library must import the plain names.
if(HOST)
  execute_process(COMMAND ${OBJDUMP} -p ${HOST} OUTPUT_VARIABLE hostdump COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "DLL Name: vxbridge\\.dll[^\n]*\n[^\n]*\n(([ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z0-9_@]+\n)+)" block "${hostdump}")
  if(NOT block OR block MATCHES "@")
    message(FATAL_ERROR "${HOST} imports no plain names from vxbridge.dll:\n${block}")
  endif()
  string(REGEX MATCHALL "Vx[A-Za-z]+" names "${block}")
  string(REGEX REPLACE "[0-9]+ " "" exported "${expected}")
  list(SORT exported)
  list(SORT names)
  if(HOST_IMPORTS_ALL AND NOT names STREQUAL exported)
    message(FATAL_ERROR "${HOST} should import every export.\nexpected: ${exported}\nactual:   ${names}")
  endif()
endif()
