# 64-bit GUI, no runtime DLL, script as RCDATA 101 in US English, asInvoker and longPathAware.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINDRES} -i ${PROGRAM} -O rc OUTPUT_VARIABLE rc COMMAND_ERROR_IS_FATAL ANY)
set(manifest "RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*  [^\n]*")
foreach(expected "Magic[ \t]+020b" "Subsystem[ \t]+00000002" "LANGUAGE 9, 1\n+101 RCDATA"
        "${manifest}level=\"\"asInvoker\"\""
        "${manifest}2016/WindowsSettings\"\">[^\n]*\n[^\n]*<ws2:longPathAware>true<")
    if(NOT "${headers}${rc}" MATCHES "${expected}"
       OR headers MATCHES "DLL Name: [^\n]*(libstdc|libgcc|winpthread|libssp)")
        message(FATAL_ERROR "${PROGRAM} lacks ${expected} or imports ${CMAKE_MATCH_0}")
    endif()
endforeach()
