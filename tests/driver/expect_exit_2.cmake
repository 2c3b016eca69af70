# The Windows program started without arguments must end with exit code 2.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} RESULT_VARIABLE code)
if(NOT code EQUAL 2)
    message(FATAL_ERROR "expected exit code 2, got ${code}")
endif()
