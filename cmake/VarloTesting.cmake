# Every ctest test has a time limit, so that a hang fails its own test within minutes rather
# than running into CI's overall time-out. Sanitized builds run several times slower, so their
# limits are scaled. The test `test_time_limits` fails when a test has no limit.
set(VARLO_TEST_TIMEOUT 120 CACHE STRING "Seconds a test may run unless it sets its own limit")
if(VARLO_SANITIZE)
  set(VARLO_TEST_TIME_SCALE 3)
else()
  set(VARLO_TEST_TIME_SCALE 1)
endif()

# varlo_set_test_timeout(<seconds> <tests...>): the time limit of tests, scaled for sanitizers.
function(varlo_set_test_timeout seconds)
  math(EXPR scaled "${seconds} * ${VARLO_TEST_TIME_SCALE}")
  set_tests_properties(${ARGN} PROPERTIES TIMEOUT ${scaled})
endfunction()

# varlo_add_gtest(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                 [TIMEOUT <seconds>] [CONCURRENT])
#
# Builds one GoogleTest executable and registers it with ctest as one test, limited to TIMEOUT
# seconds (VARLO_TEST_TIMEOUT when not given). CONCURRENT marks suites that exercise threads:
# they carry the label "concurrency" and are the ones the ThreadSanitizer build compiles and runs
# (target `concurrency_tests`).
add_custom_target(concurrency_tests)

# The Windows build (run under Wine on Linux) leaves out the suites in VARLO_WINDOWS_LEFT_OUT:
# they are still defined there, but built only on request and registered as disabled tests. The
# secrets suite replaces the allocator with std::aligned_alloc, which the Windows C runtime lacks;
# the card test library's log capture reads no lines under Wine yet, which the suites that wait
# for log lines need. (The suites that need pcscd sit in folders the Windows tree leaves out.)
set(VARLO_WINDOWS_LEFT_OUT
  varlo_card_tests varlo_card_monitoring_tests varlo_token_list_tests varlo_localservice_tests
  varlo_secrets_wiping_tests)

function(varlo_add_gtest name)
  cmake_parse_arguments(ARG "CONCURRENT" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  set(left_out FALSE)
  if(WIN32 AND name IN_LIST VARLO_WINDOWS_LEFT_OUT)
    set(left_out TRUE)
  endif()
  if(left_out)
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  else()
    add_executable(${name} ${ARG_SOURCES})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(left_out)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${VARLO_TEST_TIMEOUT})
  endif()
  varlo_set_test_timeout(${ARG_TIMEOUT} ${name})
  set(labels ${ARG_LABELS})
  if(ARG_CONCURRENT)
    list(APPEND labels concurrency)
    add_dependencies(concurrency_tests ${name})
  endif()
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
endfunction()

# Folders the Windows build leaves out: what needs pcscd with vsmartcard's vpcd (the virtual
# card, the test rig and every test on it, the reader monitor program), p11-kit (the PKCS#11
# bridge), the Linux install and Debian package, and Google Benchmark, which is not cross-built.
if(WIN32)
  set(VARLO_LEFT_OUT_DIRS
    apps/vcard apps/cardmon pkcs11 bench fuzz
    tests/rig tests/card_e2e tests/module_e2e tests/fault_e2e tests/pkcs11 tests/install)
else()
  set(VARLO_LEFT_OUT_DIRS "")
endif()

# Adds every direct subfolder of the current folder that has a CMakeLists.txt (and is not left
# out of this build).
function(varlo_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${child})
    if(relative IN_LIST VARLO_LEFT_OUT_DIRS)
      continue()
    endif()
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
