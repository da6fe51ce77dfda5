# Installing (cmake --install) and the Debian package (cpack -G DEB) of the same files:
#   <libdir>/libMDesfireVarloLibrary.so           the module
#   <includedir>/varlo/varlo_module.h             the public header for hosts
#   <libdir>/pkgconfig/varlo-module.pc            its pkg-config file (variable "module")
#   <bindir>/varlo-host, varlo-tokend, varlo-cardimage, varlo-vcard, varlo-cardmon
#   lib/systemd/system/varlo-tokend.service       the local token service's unit
#   <p11-kit module folder>/libvarlo-pkcs11.so    the PKCS#11 bridge (lib/<multiarch>/pkcs11)
#   share/p11-kit/modules/varlo-pkcs11.module     its p11-kit module file
# Programs and the unit that are not part of this tree are left out.
include(GNUInstallDirs)

install(TARGETS MDesfireVarloLibrary LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/varlo_module.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/varlo)

foreach(program varlo-host varlo-tokend varlo-cardimage varlo-vcard varlo-cardmon)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The unit names the program where this install puts it, which is known only when installing
# (cmake --install --prefix, and /usr when cpack packs).
if(EXISTS ${PROJECT_SOURCE_DIR}/apps/tokend/varlo-tokend.service)
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/apps/tokend/varlo-tokend.service\" unit)
    string(REPLACE \"/usr/local/bin/varlo-tokend\"
                   \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/varlo-tokend\" unit \"\${unit}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/installed/varlo-tokend.service\" \"\${unit}\")")
  install(FILES ${PROJECT_BINARY_DIR}/installed/varlo-tokend.service
          DESTINATION lib/systemd/system)
endif()

# The bridge goes where p11-kit looks for modules, its module file where p11-kit looks for those
# (both taken from p11-kit's pkg-config file in pkcs11/); the file names the bridge by its full
# path, known only when installing.
if(TARGET varlo-pkcs11)
  install(TARGETS varlo-pkcs11 LIBRARY DESTINATION ${VARLO_BRIDGE_DIR})
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/varlo-pkcs11.module.in\" text)
    string(REPLACE \"@VARLO_BRIDGE_PATH@\"
                   \"\${CMAKE_INSTALL_PREFIX}/${VARLO_BRIDGE_DIR}/$<TARGET_FILE_NAME:varlo-pkcs11>\"
                   text \"\${text}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/installed/varlo-pkcs11.module\" \"\${text}\")")
  install(FILES ${PROJECT_BINARY_DIR}/installed/varlo-pkcs11.module
          DESTINATION ${VARLO_P11KIT_CONFIG_DIR})
endif()

# The .pc file finds the prefix from its own folder, so that it is right for any install prefix
# (cmake --install --prefix, and /usr in the package).
file(RELATIVE_PATH VARLO_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VARLO_PC_PREFIX_FROM_PCDIR "${VARLO_PC_PREFIX_FROM_PCDIR}")
file(RELATIVE_PATH VARLO_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH VARLO_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
set(VARLO_MODULE_FILE_NAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}MDesfireVarloLibrary${CMAKE_SHARED_LIBRARY_SUFFIX})
set(VARLO_PC_DL_LIBS "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND VARLO_PC_DL_LIBS " -l${lib}")
endforeach()
string(STRIP "${VARLO_PC_DL_LIBS}" VARLO_PC_DL_LIBS)
configure_file(${PROJECT_SOURCE_DIR}/packaging/varlo-module.pc.in
               ${PROJECT_BINARY_DIR}/varlo-module.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varlo-module.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package.
set(VARLO_PACKAGE_MAINTAINER "Varlo developers <varlo-dev@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mdesfire-varlo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "DESFire token module for PC/SC hosts, with its host tool and local token service")
set(CPACK_PACKAGE_DESCRIPTION
    "MDesfireVarloLibrary turns MIFARE DESFire cards on PC/SC readers into tokens a host can "
    "list, search, read and unlock with a PIN. The package holds the module, its public header "
    "and pkg-config file, varlo-host (the module host for people), the local token service and "
    "the card tools.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARLO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# dpkg-shlibdeps lists the libraries the programs link (libpcsclite1, libsodium23, libcrypto++8,
# libsqlite3-0, ...) with their versions; pcscd is needed at run time but linked by nothing.
find_program(VARLO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARLO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "pcscd")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcsclite1, pcscd, libsodium23, libcrypto++8, libsqlite3-0")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
