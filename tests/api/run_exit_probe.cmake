cmake_minimum_required(VERSION 3.20)
# Runs the exit probe and checks that it ends by itself with status 0
# within the time limit:
#   -DSIM=... -DPROBE=... -DMODE=return|exit [-DEMULATOR=...]
#     side by side with the simulator, whose output (its port) is the
#     probe's input; both must end with 0;
#   -DPROBE=... -DMODE=... -DREPEAT=N [-DEMULATOR=...]
#     the probe alone (its own viewer), N times.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
if(DEFINED REPEAT)
  foreach(i RANGE 1 ${REPEAT})
    execute_process(COMMAND ${emulator} ${PROBE} ${MODE}
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
    if(NOT result STREQUAL "0")
      message(FATAL_ERROR "run ${i} of ${REPEAT}: the probe ended with ${result}\n${out}${err}")
    endif()
  endforeach()
  return()
endif()
execute_process(COMMAND ${emulator} ${SIM} listen --port 0 COMMAND ${emulator} ${PROBE} ${MODE}
                RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "simulator;probe ended with ${results}\n${out}${err}")
endif()
