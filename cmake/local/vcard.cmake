# Virtual DESFire card, its platform layers and the pcscd test rig.
add_subdirectory(platform/net)
add_subdirectory(platform/process)
add_subdirectory(apps/vcard)
add_subdirectory(tests/rig)
add_subdirectory(bench/vcard)
