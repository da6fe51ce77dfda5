# Registrations of the messaging branch: the platform pipe layer and the messaging benchmark.
add_subdirectory(${PROJECT_SOURCE_DIR}/platform/pipe ${PROJECT_BINARY_DIR}/platform/pipe)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/messaging/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/bench/messaging ${PROJECT_BINARY_DIR}/bench/messaging)
endif()
