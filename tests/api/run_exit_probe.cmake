cmake_minimum_required(VERSION 3.20)
# Runs the simulator and the exit probe side by side: the simulator's
# output (its port) is the probe's input. Both must end by themselves with
# status 0 within the time limit.
# -DSIM=... -DPROBE=... -DMODE=return|exit [-DEMULATOR=...]
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} ${SIM} listen --port 0 COMMAND ${emulator} ${PROBE} ${MODE}
                RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "simulator;probe ended with ${results}\n${out}${err}")
endif()
