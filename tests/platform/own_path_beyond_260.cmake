# The program's own path comes back whole from a folder more than 260 characters deep. Wine's
# CreateProcessW refuses a program that deep, but Wine starts one from the Unix side.
string(REPEAT "/dddddddddddddddddddddddddddddddddddddddd" 8 deep)
set(root "$ENV{WINEPREFIX}/drive_c/lumetra_own_path")
file(REMOVE_RECURSE "${root}")
file(COPY "${CHILD}" DESTINATION "${root}${deep}")
execute_process(COMMAND ${EMULATOR} ./lumetra_test_child.exe self "C:\\lumetra_own_path\\self.txt"
                WORKING_DIRECTORY "${root}${deep}" RESULT_VARIABLE code)
file(READ "${root}/self.txt" reported)
file(REMOVE_RECURSE "${root}")
string(REPLACE "/" "\\" expected "C:/lumetra_own_path${deep}/lumetra_test_child.exe")
if(NOT code EQUAL 0 OR NOT reported STREQUAL expected)
    message(FATAL_ERROR "own path \"${expected}\" reported as \"${reported}\" (exit ${code})")
endif()
