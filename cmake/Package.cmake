# Install rules and the Debian package. `cmake --install build --prefix P`
# puts the two programs, their manual pages and the documentation under P;
# `cpack -G DEB` in the build folder makes the package, installed under /usr.
# Tests, benchmarks and their libraries are not installed.

# Manual pages carry the project version, filled in at configure time.
foreach(page kvfwdn kvsim)
  configure_file("${CMAKE_SOURCE_DIR}/man/${page}.1.in" "${CMAKE_BINARY_DIR}/man/${page}.1" @ONLY)
endforeach()

install(TARGETS kvfwdn kvsim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${CMAKE_BINARY_DIR}/man/kvfwdn.1" "${CMAKE_BINARY_DIR}/man/kvsim.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES "${CMAKE_SOURCE_DIR}/data/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}/data")

set(KV_PACKAGE_MAINTAINER "kvfwdn maintainers <kvfwdn@example.invalid>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvfwdn)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${KV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware downloader for a kiosk's receipt printer and cash dispenser")
# CPack puts the summary first and indents the rest as the long description.
set(CPACK_PACKAGE_DESCRIPTION
    "kvfwdn is an interactive console tool with which a field technician
reads the firmware version of, and loads new firmware into, the receipt
printer unit and the cash dispenser unit of a kiosk on serial ports. It
also runs unattended from the command line, with an exit status and JSON
results.

kvsim serves virtual devices on pseudo-terminals, so that every action
of kvfwdn can be tried and trained without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
