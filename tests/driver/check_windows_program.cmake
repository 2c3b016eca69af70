# The shipped Windows program: a 64-bit GUI executable that needs no DLL of the compiler's runtime, whose manifest
# asks to run as the invoking user and declares it aware of paths beyond 260 characters, and which carries the
# extraction script as RCDATA 101 in US English.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINDRES} -i ${PROGRAM} -O rc OUTPUT_VARIABLE resources COMMAND_ERROR_IS_FATAL ANY)
foreach(expected "Magic[ \t]+020b[ \t]+\\(PE32\\+\\)" "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)"
        "LANGUAGE 9, 1\n+101 RCDATA"
        "RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*  [^\n]*requestedExecutionLevel level=\"\"asInvoker\"\""
        "RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*  [^\n]*<windowsSettings xmlns:ws2=\"\"http://schemas\\.microsoft\\.com/SMI/2016/WindowsSettings\"\">[^\n]*\n  \"      <ws2:longPathAware>true</")
    if(NOT "${headers}${resources}" MATCHES "${expected}")
        message(FATAL_ERROR "${PROGRAM} lacks ${expected}")
    endif()
endforeach()
string(TOLOWER "${headers}" headers)
if(headers MATCHES "dll name: [^\n]*(libstdc|libgcc|winpthread|libssp)[^\n]*")
    message(FATAL_ERROR "${PROGRAM} imports a DLL of the compiler's runtime: ${CMAKE_MATCH_0}")
endif()
