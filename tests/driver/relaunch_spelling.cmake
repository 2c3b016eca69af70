# The Windows program started from its installation relaunches itself from a
# temporary copy (the first instance ends with 0 at once) however the target
# spells that folder; running in place it could not replace its own file.
set(root "$ENV{WINEPREFIX}/drive_c/lumetra_relaunch")
file(REMOVE_RECURSE "${root}")
file(MAKE_DIRECTORY "${root}/Installed App")
file(COPY "${PROGRAM}" DESTINATION "${root}/Installed App")
file(WRITE "${root}/pkg.zip" "not a zip")
foreach(target "c:\\lumetra_relaunch\\installed app" "C:\\lumetra_relaunch\\Installed App\\.")
    execute_process(COMMAND ${EMULATOR} "C:\\lumetra_relaunch\\Installed App\\LumetraUpdater.exe"
                            --package "C:\\lumetra_relaunch\\pkg.zip" --target "${target}"
                    RESULT_VARIABLE code)
    execute_process(COMMAND wineserver -w)  # the relaunched copy ends too
    if(NOT code EQUAL 0)
        message(FATAL_ERROR "target ${target}: exit code ${code}, the updater ran in place")
    endif()
endforeach()
file(GLOB copies "$ENV{WINEPREFIX}/drive_c/users/*/Temp/LumetraUpdaterBootstrap_*")
list(LENGTH copies relaunched)
file(REMOVE_RECURSE "${root}" ${copies})
if(relaunched LESS 2)
    message(FATAL_ERROR "${relaunched} relaunched copies found, 2 expected")
endif()
