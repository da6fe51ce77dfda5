# Programs and benchmarks of the Noise framework (branch noise).
add_subdirectory(apps/noise_vectors)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/../../bench/noise/CMakeLists.txt)
  add_subdirectory(bench/noise)
endif()
