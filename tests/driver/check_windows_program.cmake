# The shipped program: a 64-bit GUI executable needing no DLL of the compiler's runtime, asking in
# its manifest to run as the invoking user and declaring it aware of paths beyond 260 characters,
# carrying the script as RCDATA 101 in US English.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINDRES} -i ${PROGRAM} -O rc OUTPUT_VARIABLE rc COMMAND_ERROR_IS_FATAL ANY)
string(TOLOWER "${headers}" imports)
foreach(expected "Magic[ \t]+020b[ \t]+\\(PE32\\+\\)" "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)"
        "LANGUAGE 9, 1\n+101 RCDATA"
        "RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*  [^\n]*requestedExecutionLevel level=\"\"asInvoker\"\""
        "RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*  [^\n]*<windowsSettings xmlns:ws2=\"\"http://schemas\\.microsoft\\.com/SMI/2016/WindowsSettings\"\">[^\n]*\n  \"      <ws2:longPathAware>true</")
    if(NOT "${headers}${rc}" MATCHES "${expected}"
       OR imports MATCHES "dll name: [^\n]*(libstdc|libgcc|winpthread|libssp)")
        message(FATAL_ERROR "${PROGRAM} lacks ${expected} or imports ${CMAKE_MATCH_0}")
    endif()
endforeach()
