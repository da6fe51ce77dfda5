# The dependencies of the Windows build: static libraries and headers that scripts/windows/deps.sh
# built from Debian's source packages into VARLO_WINDOWS_DEPS, under the target names the Linux
# build gets from pkg-config and the packages' CMake files, so that no CMakeLists.txt needs to
# tell the two apart. The system libraries they use (advapi32, bcrypt, ws2_32) come with every
# Windows.
set(VARLO_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows dependencies (scripts/windows/deps.sh)")
if(NOT VARLO_WINDOWS_DEPS OR NOT EXISTS ${VARLO_WINDOWS_DEPS}/include/sodium.h)
  message(FATAL_ERROR "VARLO_WINDOWS_DEPS must name the folder scripts/windows/deps.sh fills "
                      "(e.g. build/windows/deps/prefix); got '${VARLO_WINDOWS_DEPS}'")
endif()

# varlo_windows_library(<target> <library file or empty> [LIBS <libs...>] [DEFINES <defs...>])
function(varlo_windows_library target file)
  cmake_parse_arguments(ARG "" "" "LIBS;DEFINES" ${ARGN})
  if(file)
    set(path ${VARLO_WINDOWS_DEPS}/lib/${file})
    if(NOT EXISTS ${path})
      message(FATAL_ERROR "${path} is missing: run scripts/windows/deps.sh")
    endif()
    add_library(${target} STATIC IMPORTED)
    set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${path})
  else()
    add_library(${target} INTERFACE IMPORTED)
  endif()
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${VARLO_WINDOWS_DEPS}/include
    INTERFACE_LINK_LIBRARIES "${ARG_LIBS}"
    INTERFACE_COMPILE_DEFINITIONS "${ARG_DEFINES}")
endfunction()

# libsodium's headers declare its functions dllimport unless told the library is static.
varlo_windows_library(PkgConfig::SODIUM libsodium.a LIBS advapi32 DEFINES SODIUM_STATIC)
varlo_windows_library(PkgConfig::CRYPTOPP libcryptopp.a LIBS advapi32 bcrypt ws2_32)
varlo_windows_library(SQLite::SQLite3 libsqlite3.a)
varlo_windows_library(nlohmann_json::nlohmann_json "")
varlo_windows_library(CLI11::CLI11 "")

find_package(Threads REQUIRED)
set(GTest_DIR ${VARLO_WINDOWS_DEPS}/lib/cmake/GTest)
find_package(GTest REQUIRED CONFIG)

# Programs and the module carry their C and C++ runtime and the thread library inside, so that a
# Windows machine needs no mingw DLL: only the system's own DLLs are imported.
add_link_options(-static -static-libgcc -static-libstdc++)
