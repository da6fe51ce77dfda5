# Card subsystem: PC/SC and signal platform layers, the reader-monitor tool, the card tests.
add_subdirectory(platform/pcsc)
add_subdirectory(platform/signal)
add_subdirectory(apps/cardmon)
add_subdirectory(tests/card_e2e)
