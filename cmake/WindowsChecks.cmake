# Checks of the Windows build's products that need no Windows to run on.
find_program(VARLO_MINGW_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump)
add_test(NAME dll_export_table
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VARLO_MINGW_OBJDUMP}
                 -DDLL=$<TARGET_FILE:MDesfireVarloLibrary>
                 -P ${PROJECT_SOURCE_DIR}/cmake/check_dll_exports.cmake)
varlo_set_test_timeout(60 dll_export_table)
