# Helpers for tests that use the pcscd test rig (tests/rig/pcsc_rig.h). Include this file from
# any CMakeLists.txt that registers such tests:
#   include(${PROJECT_SOURCE_DIR}/cmake/VarloRig.cmake)
include_guard(GLOBAL)

# varlo_add_pcscd_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                      [TIMEOUT <seconds>] [CONCURRENT])
#
# A GoogleTest program using the rig: linked with varlo_test_rig, labelled "pcscd" and run one
# at a time with every other pcscd test (there is one pcscd per machine). CONCURRENT as for
# varlo_add_gtest (the thread sanitizer build runs it too).
function(varlo_add_pcscd_test name)
  cmake_parse_arguments(ARG "CONCURRENT" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(ARG_TIMEOUT)
    set(timeout TIMEOUT ${ARG_TIMEOUT})
  endif()
  if(ARG_CONCURRENT)
    set(concurrent CONCURRENT)
  endif()
  varlo_add_gtest(${name} SOURCES ${ARG_SOURCES} LIBS varlo_test_rig ${ARG_LIBS}
                  LABELS pcscd ${ARG_LABELS} ${timeout} ${concurrent})
  varlo_use_pcscd(${name})
endfunction()

# varlo_use_pcscd(<test>...): marks already registered ctest tests as users of pcscd.
function(varlo_use_pcscd)
  set_tests_properties(${ARGN} PROPERTIES RESOURCE_LOCK pcscd)
endfunction()
