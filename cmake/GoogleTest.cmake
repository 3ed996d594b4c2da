# GoogleTest: the system's package natively; for cross builds, built from
# Debian's source package with the cross compiler. Either way the targets
# GTest::gtest, GTest::gtest_main and GTest::gmock exist afterwards. When it
# is missing, the configure stops saying what to install, or how to build
# without the tests.
set(vxbridge_without_tests "or configure with -DVXBRIDGE_BUILD_TESTS=OFF to build the library and the tools alone")
if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "VxBridge's tests need GoogleTest's sources for this cross build, in /usr/src/googletest "
                        "(Debian and Ubuntu: apt-get install googletest), ${vxbridge_without_tests}.")
  endif()
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
else()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND OR NOT TARGET GTest::gmock)
    message(FATAL_ERROR "VxBridge's tests need GoogleTest with GoogleMock, which CMake did not find "
                        "(Debian and Ubuntu: apt-get install libgtest-dev libgmock-dev; elsewhere set "
                        "GTest_DIR or CMAKE_PREFIX_PATH to its installation), ${vxbridge_without_tests}.")
  endif()
endif()
