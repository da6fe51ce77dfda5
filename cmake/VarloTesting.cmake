# varlo_add_gtest(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [CONCURRENT])
#
# Builds one GoogleTest executable and registers it with ctest as one test. CONCURRENT marks
# suites that exercise threads: they carry the label "concurrency" and are the ones the
# ThreadSanitizer build compiles and runs (target `concurrency_tests`).
add_custom_target(concurrency_tests)

function(varlo_add_gtest name)
  cmake_parse_arguments(ARG "CONCURRENT" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set(labels ${ARG_LABELS})
  if(ARG_CONCURRENT)
    list(APPEND labels concurrency)
    add_dependencies(concurrency_tests ${name})
  endif()
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
endfunction()

# Adds every direct subfolder of the current folder that has a CMakeLists.txt.
function(varlo_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
