add_subdirectory(${PROJECT_SOURCE_DIR}/_externals/ravcore/source/registry ${PROJECT_BINARY_DIR}/_externals/ravcore/source/registry)
