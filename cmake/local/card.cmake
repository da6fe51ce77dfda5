# Card subsystem: PC/SC platform layer, the reader-monitor tool and the card tests.
add_subdirectory(platform/pcsc)
