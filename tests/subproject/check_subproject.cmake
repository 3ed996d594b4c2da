# Configures parent/ (which adds VxBridge with add_subdirectory) with
# GoogleTest made unfindable, then checks that VxBridge left the parent
# without test, CTest or CPack targets and without -Werror, and that the
# parent's program builds against the library.
#   cmake -DPARENT= -DWORK= -DSOURCE_DIR= -DGENERATOR= -DCC= -DCXX= -P check_subproject.cmake
file(REMOVE_RECURSE ${WORK})
# A find_package(GTest REQUIRED) anywhere stops this configure.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${PARENT} -B ${WORK} -G ${GENERATOR} -DCMAKE_C_COMPILER=${CC}
                        -DCMAKE_CXX_COMPILER=${CXX} -DVXBRIDGE_SOURCE_DIR=${SOURCE_DIR}
                        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target help OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
foreach(target package package_source test Experimental Continuous Nightly vxb_unit_tests vxsim_tests
               vxctl_cli_tests vxb_fuzz_replay example_send_command)
  if(out MATCHES "(^|[\n ])${target}[:\n]")
    message(FATAL_ERROR "the parent has a target ${target}:\n${out}")
  endif()
endforeach()
file(STRINGS ${WORK}/CMakeCache.txt werror REGEX "^VXBRIDGE_WERROR:BOOL=")
if(NOT werror STREQUAL "VXBRIDGE_WERROR:BOOL=OFF")
  message(FATAL_ERROR "-Werror for a subproject: ${werror}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target host --parallel 2 COMMAND_ERROR_IS_FATAL ANY)
