# Runs `systemd-analyze verify` on a copy of the unit file UNIT whose ExecStart names PROGRAM.
# Arguments: ANALYZE (systemd-analyze), UNIT, PROGRAM, COPY (where the copy goes).
file(READ ${UNIT} text)
string(REPLACE "/usr/local/bin/varlo-tokend" "${PROGRAM}" text "${text}")
file(WRITE ${COPY} "${text}")
execute_process(COMMAND ${ANALYZE} verify ${COPY} RESULT_VARIABLE result OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
if(NOT result EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify ${COPY}:\n${out}")
endif()
