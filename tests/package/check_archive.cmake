cmake_minimum_required(VERSION 3.20)
# Checks the Windows release archive: unpacked into WORK, it holds one folder
# of its own name with exactly the files a user needs (and no debug
# information), the bindings included; its DLL is stripped with a debug link
# to the .debug file kept in the build tree, the DLL and vxctl.exe pass the
# export and import checks, and bindings/README.md's command makes the
# Python wheel of the DLL (with PYTHON and its pip).
#   -DARCHIVE=vxbridge-V-win32.zip -DWORK=dir [-DPYTHON=python3]
#   -DSOURCE_DIR=... -DBUILT_DLL=... -DOBJDUMP=... -DEXPECTED=... -DVERSION=...
if(NOT EXISTS ${ARCHIVE})
  message(FATAL_ERROR "${ARCHIVE} missing: cmake --build --preset win32 --target package")
endif()
if(${BUILT_DLL} IS_NEWER_THAN ${ARCHIVE})
  message(FATAL_ERROR "${ARCHIVE} is older than the DLL: build the package target again")
endif()
file(REMOVE_RECURSE ${WORK})
file(ARCHIVE_EXTRACT INPUT ${ARCHIVE} DESTINATION ${WORK})
get_filename_component(top ${ARCHIVE} NAME_WLE)
set(root ${WORK}/${top})

set(expected bin/vxbridge.dll bin/vxsim.exe bin/vxctl.exe include/vxbridge.h
             lib/vxbridge.lib lib/libvxbridge.dll.a lib/vxbridge.def
             README.md LICENSE CHANGELOG.md bindings/README.md bindings/python/pyproject.toml
             bindings/python/README.md bindings/python/LICENSE bindings/python/build_backend/vxbridge_build.py
             bindings/csharp/VxBridge.cs bindings/csharp/Connection.cs bindings/csharp/VxBridge.Net.dll.config
             bindings/csharp/Sample.cs bindings/delphi/VxBridge.pas bindings/delphi/VxSample.dpr)
file(GLOB_RECURSE docs RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/docs/*)
file(GLOB examples RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/examples/*.c ${SOURCE_DIR}/examples/README.md
                                          ${SOURCE_DIR}/examples/*.vxrec)
file(GLOB python RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/bindings/python/vxbridge/*.py
                                        ${SOURCE_DIR}/bindings/python/vxbridge/py.typed)
list(APPEND expected ${docs} ${examples} ${python})
list(TRANSFORM expected PREPEND ${top}/)
file(GLOB_RECURSE actual RELATIVE ${WORK} ${WORK}/*)
list(SORT expected)
list(SORT actual)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "archive contents differ.\nexpected: ${expected}\nactual:   ${actual}")
endif()

# Stripped, with the debug information in the build tree behind a debug link.
set(dll ${root}/bin/vxbridge.dll)
execute_process(COMMAND ${OBJDUMP} -h ${dll} OUTPUT_VARIABLE sections COMMAND_ERROR_IS_FATAL ANY)
if(sections MATCHES "\\.debug_" OR NOT sections MATCHES "\\.gnu_debuglink")
  message(FATAL_ERROR "the archived DLL carries debug sections or lacks a debug link:\n${sections}")
endif()
execute_process(COMMAND ${OBJDUMP} -h ${BUILT_DLL}.debug OUTPUT_VARIABLE sections COMMAND_ERROR_IS_FATAL ANY)
if(NOT sections MATCHES "\\.debug_info")
  message(FATAL_ERROR "${BUILT_DLL}.debug holds no debug information")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DDLL=${dll} -DOBJDUMP=${OBJDUMP} -DEXPECTED=${EXPECTED}
                        -DVERSION=${VERSION} -DHOST=${root}/bin/vxctl.exe
                        -P ${CMAKE_CURRENT_LIST_DIR}/../exports/check_dll.cmake
                COMMAND_ERROR_IS_FATAL ANY)

if(PYTHON)
  execute_process(COMMAND ${PYTHON} -m pip wheel --quiet --no-index -w ${WORK}/wheel ${root}/bindings/python
                          --config-settings library=${dll} COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "-win32" "-py3-none-win32.whl" wheel ${top})
  if(NOT EXISTS ${WORK}/wheel/${wheel})
    message(FATAL_ERROR "no ${wheel} made of the archive's DLL")
  endif()
endif()
