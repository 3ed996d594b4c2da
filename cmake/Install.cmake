# What `cmake --install` puts under the prefix, and the release archive that
# CPack makes of it (`cmake --build --preset win32 --target package`).
# Everything here hangs on the final `vxbridge` target; the tools install
# themselves in their own CMakeLists.txt.
#
# Components:
#   runtime         the shared library (DLL or libvxbridge.so.1.0.0 and its
#                   soname link), vxsim, vxctl
#   development     the header, the link-time files (import libraries, .def,
#                   the libvxbridge.so link)
#   docs            README, LICENSE, CHANGELOG, docs/, the examples, their
#                   README and the recording one of them is tested against
#   bindings        the Python package, the C# and Delphi units and their
#                   samples, bindings/README.md: sources, built by the user
#   package_config  the CMake package and the pkg-config file; not in the
#                   Windows archive, whose users mostly link from Visual Studio
if(WIN32)
  # The archive's layout: README, LICENSE, docs/ and bindings/ at its top.
  set(vxbridge_doc_dir .)
  set(vxbridge_bindings_dir bindings)
else()
  set(vxbridge_doc_dir ${CMAKE_INSTALL_DOCDIR})
  set(vxbridge_bindings_dir ${CMAKE_INSTALL_DATADIR}/vxbridge/bindings)
endif()
set(vxbridge_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VxBridge)

install(TARGETS vxbridge EXPORT VxBridgeTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/vxbridge.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
get_target_property(vxbridge_def vxbridge VXBRIDGE_DEF_FILE)
if(vxbridge_def)
  install(FILES ${vxbridge_def} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()
get_target_property(vxbridge_msvc_implib vxbridge VXBRIDGE_MSVC_IMPLIB)
if(vxbridge_msvc_implib)
  install(FILES ${vxbridge_msvc_implib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${vxbridge_doc_dir} COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${vxbridge_doc_dir}/docs COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${vxbridge_doc_dir}/examples
  COMPONENT docs FILES_MATCHING PATTERN "*.c" PATTERN "README.md" PATTERN "*.vxrec")
# The documents link to bindings/README.md as in the source tree and the
# zip; in a Unix prefix the bindings live elsewhere, so the documentation
# gets a relative link to them (the prefix can still be moved).
if(NOT WIN32 AND NOT IS_ABSOLUTE "${vxbridge_doc_dir}" AND NOT IS_ABSOLUTE "${vxbridge_bindings_dir}")
  file(RELATIVE_PATH to_bindings /prefix/${vxbridge_doc_dir} /prefix/${vxbridge_bindings_dir})
  install(CODE "file(CREATE_LINK \"${to_bindings}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${vxbridge_doc_dir}/bindings\" SYMBOLIC)"
          COMPONENT docs)
endif()

# The bindings as their users take them: no tests, no build output. The
# Python package gets the LICENSE that its wheel carries.
set(from ${PROJECT_SOURCE_DIR}/bindings)
install(FILES ${from}/README.md DESTINATION ${vxbridge_bindings_dir} COMPONENT bindings)
install(FILES ${from}/python/pyproject.toml ${from}/python/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${vxbridge_bindings_dir}/python COMPONENT bindings)
install(DIRECTORY ${from}/python/vxbridge ${from}/python/build_backend
  DESTINATION ${vxbridge_bindings_dir}/python COMPONENT bindings
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
install(FILES ${from}/csharp/VxBridge.cs ${from}/csharp/Connection.cs ${from}/csharp/VxBridge.Net.dll.config
              ${from}/csharp/Sample.cs
  DESTINATION ${vxbridge_bindings_dir}/csharp COMPONENT bindings)
install(FILES ${from}/delphi/VxBridge.pas ${from}/delphi/VxSample.dpr
  DESTINATION ${vxbridge_bindings_dir}/delphi COMPONENT bindings)
unset(from)

# find_package(VxBridge): the imported target VxBridge::vxbridge. The
# generated files locate the prefix from their own place, so the installed
# tree can be moved.
include(CMakePackageConfigHelpers)
install(EXPORT VxBridgeTargets NAMESPACE VxBridge:: DESTINATION ${vxbridge_config_dir}
  COMPONENT package_config)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VxBridgeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VxBridgeConfig.cmake INSTALL_DESTINATION ${vxbridge_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VxBridgeConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VxBridgeConfig.cmake
              ${PROJECT_BINARY_DIR}/VxBridgeConfigVersion.cmake
  DESTINATION ${vxbridge_config_dir} COMPONENT package_config)

# pkg-config: the prefix is found from the .pc file's own place (${pcfiledir})
# for the same reason; an absolute libdir or includedir is written as it is.
file(RELATIVE_PATH rel /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" rel "${rel}")
set(VXBRIDGE_PC_PREFIX "\${pcfiledir}/${rel}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VXBRIDGE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VXBRIDGE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vxbridge.pc.in ${PROJECT_BINARY_DIR}/vxbridge.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vxbridge.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT package_config)

# The release archive: vxbridge-<version>-win32.zip (win64 for the 64-bit
# build), every program stripped (the DLL's debug information stays in the
# build tree). Everything is in one folder of the archive's name, so that
# unpacking it anywhere makes that folder and nothing else.
set(CPACK_PACKAGE_NAME vxbridge)
set(CPACK_PACKAGE_VENDOR "The VxBridge authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  # For the archive's test (include(CPack) reuses CPACK_PACKAGE_FILE_NAME).
  set(VXBRIDGE_ARCHIVE ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.zip)
  set(CPACK_GENERATOR ZIP)
  # One archive of these components only.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL runtime development docs bindings)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR TGZ)
endif()
# A parent project that installs VxBridge with its own files keeps its own
# packaging: CPack's targets come only with the top-level project.
if(PROJECT_IS_TOP_LEVEL)
  include(CPack)
endif()
