# The shipped Windows program: a 64-bit GUI executable that needs no DLL of the
# compiler's runtime, whose manifest asks to run as the invoking user and which
# carries the extraction script as RCDATA 101 in US English.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINDRES} -i ${PROGRAM} -O rc OUTPUT_VARIABLE resources COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "\n1 24 /\\* RT_MANIFEST \\*/\nBEGIN\n(  [^\n]*\n)*" manifest "${resources}")
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
string(TOLOWER "${imports}" imports)
foreach(expected "Magic[ \t]+020b[ \t]+\\(PE32\\+\\)" "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)"
        "LANGUAGE 9, 1\n+101 RCDATA")
    if(NOT "${headers}${resources}" MATCHES "${expected}")
        message(FATAL_ERROR "${PROGRAM} lacks ${expected}")
    endif()
endforeach()
if(NOT manifest MATCHES "requestedExecutionLevel level=\"\"asInvoker\"\"" OR imports MATCHES "libstdc|libgcc|winpthread|libssp")
    message(FATAL_ERROR "${PROGRAM}: no asInvoker manifest, or imports a compiler runtime DLL: ${imports}")
endif()
message(STATUS "${PROGRAM}: PE32+, GUI, asInvoker, ${imports}")
