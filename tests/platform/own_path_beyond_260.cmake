# The running program's own path, as the platform layer reports it, comes back
# whole from a folder more than 260 characters deep (the test child writes it).
# Wine's CreateProcessW refuses a program that deep, but Wine starts one from
# the Unix side, so this check runs here rather than inside the unit tests.
set(unix "$ENV{WINEPREFIX}/drive_c/lumetra_own_path")
set(deep "")
foreach(i RANGE 7)
    string(APPEND deep "/dddddddddddddddddddddddddddddddddddddddd")
endforeach()
file(REMOVE_RECURSE "${unix}")
file(MAKE_DIRECTORY "${unix}${deep}")
file(COPY "${CHILD}" DESTINATION "${unix}${deep}")
get_filename_component(name "${CHILD}" NAME)
execute_process(COMMAND ${EMULATOR} ./${name} self "C:\\lumetra_own_path\\self.txt"
                WORKING_DIRECTORY "${unix}${deep}" RESULT_VARIABLE code)
file(READ "${unix}/self.txt" reported)
file(REMOVE_RECURSE "${unix}")
string(REPLACE "/" "\\" expected "C:/lumetra_own_path${deep}/${name}")
string(LENGTH "${expected}" length)
if(NOT code EQUAL 0 OR NOT reported STREQUAL expected)
    message(FATAL_ERROR "own path of ${length} characters reported as \"${reported}\" (exit ${code})")
endif()
message(STATUS "own path of ${length} characters reported whole")
