# The own path from a folder over 260 deep (Wine starts it from the Unix side, not CreateProcessW).
string(REPEAT "/ddddddddd" 32 deep)
set(deep "lumetra_own_path${deep}")
file(COPY "${CHILD}" DESTINATION "$ENV{WINEPREFIX}/drive_c/${deep}")
execute_process(COMMAND ${EMULATOR} ./lumetra_test_child.exe self OUTPUT_VARIABLE reported
                WORKING_DIRECTORY "$ENV{WINEPREFIX}/drive_c/${deep}")
file(REMOVE_RECURSE "$ENV{WINEPREFIX}/drive_c/lumetra_own_path")
string(REPLACE "/" "\\" expected "C:/${deep}/lumetra_test_child.exe")
if(NOT reported STREQUAL expected)
    message(FATAL_ERROR "own path ${expected} reported as ${reported}")
endif()
