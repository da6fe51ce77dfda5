# Toolchain for the 64-bit Windows build with Debian's mingw-w64 cross compilers (posix thread
# model, for std::thread). Libraries and headers are looked up only in the dependency folder
# scripts/windows/deps.sh fills (VARLO_WINDOWS_DEPS) and in the toolchain's own root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VARLO_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VARLO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARLO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARLO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VARLO_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VARLO_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${VARLO_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VARLO_MINGW_TRIPLE})
if(VARLO_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VARLO_WINDOWS_DEPS})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARLO_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine on this machine (ctest, try_run).
find_program(VARLO_WINE NAMES wine64 wine)
if(VARLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARLO_WINE})
endif()
