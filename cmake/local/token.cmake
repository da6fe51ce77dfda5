# Registrations of the token branch: the item containers (module/items) and the card-image tool.
add_subdirectory(${PROJECT_SOURCE_DIR}/module/items ${PROJECT_BINARY_DIR}/module/items)
add_subdirectory(${PROJECT_SOURCE_DIR}/apps/cardimage ${PROJECT_BINARY_DIR}/apps/cardimage)
