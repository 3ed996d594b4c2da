# GoogleTest: the system's package natively; for cross builds, built from
# Debian's source package with the cross compiler. Either way the targets
# GTest::gtest, GTest::gtest_main and GTest::gmock exist afterwards.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
