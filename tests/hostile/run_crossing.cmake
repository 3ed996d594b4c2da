cmake_minimum_required(VERSION 3.20)
# vxsim and the crossing probe side by side: vxsim's output (its port) is
# the probe's input; vxsim makes CALLS calls one millisecond apart while the
# probe's commands cross them. Both must end by themselves with status 0
# (the probe's means every call was handled, and every command got its own
# answer).
# -DSIM=... -DPROBE=... -DCALLS=N [-DEMULATOR=...]
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(call_args)
math(EXPR last "${CALLS} - 1")
foreach(i RANGE ${last})
  list(APPEND call_args --call "Note(${i})")
endforeach()
execute_process(COMMAND ${emulator} ${SIM} listen --port 0 --interval 1 ${call_args}
                COMMAND ${emulator} ${PROBE} ${CALLS}
                RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "vxsim;probe ended with ${results}\n${out}${err}")
endif()
message(STATUS "${out}")
