# Registrations of the token branch: item containers (module/items), the card-image tool and
# writer (apps/cardimage) and the PIN-check benchmark (bench/token).
add_subdirectory(${PROJECT_SOURCE_DIR}/module/items ${PROJECT_BINARY_DIR}/module/items)
add_subdirectory(${PROJECT_SOURCE_DIR}/apps/cardimage ${PROJECT_BINARY_DIR}/apps/cardimage)
add_subdirectory(${PROJECT_SOURCE_DIR}/bench/token ${PROJECT_BINARY_DIR}/bench/token)
