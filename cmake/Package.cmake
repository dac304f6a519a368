# Install rules and the Debian package. `cmake --install build --prefix P`
# puts the two programs, their manual pages and the documentation under P;
# `cpack -G DEB` in the build folder makes the package, installed under /usr,
# with its manual pages compressed.
# Tests, benchmarks and their libraries are not installed.

set(KV_PACKAGE_MAINTAINER "kvfwdn maintainers <kvfwdn@example.invalid>"
    CACHE STRING "Maintainer named in the Debian package")

# The date of the latest release in CHANGELOG.md dates the manual pages.
file(STRINGS "${CMAKE_SOURCE_DIR}/CHANGELOG.md" KV_RELEASE_HEADING REGEX "^## [^ ]+ \\(" LIMIT_COUNT 1)
string(REGEX REPLACE ".*\\(([0-9-]+)\\).*" "\\1" KV_RELEASE_DATE "${KV_RELEASE_HEADING}")

# Manual pages carry the project version and date, filled in at configure
# time.
foreach(page kvfwdn kvsim)
  configure_file("${CMAKE_SOURCE_DIR}/man/${page}.1.in" "${CMAKE_BINARY_DIR}/man/${page}.1" @ONLY)
endforeach()

install(TARGETS kvfwdn kvsim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${CMAKE_BINARY_DIR}/man/kvfwdn.1" "${CMAKE_BINARY_DIR}/man/kvsim.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES "${CMAKE_SOURCE_DIR}/data/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}/data")
install(FILES "${CMAKE_SOURCE_DIR}/contrib/bash-completion/kvfwdn"
              "${CMAKE_SOURCE_DIR}/contrib/bash-completion/kvsim"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
install(DIRECTORY "${CMAKE_SOURCE_DIR}/contrib/ansible/" DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

# The licence in the machine-readable copyright format.
file(READ "${CMAKE_SOURCE_DIR}/LICENSE" KV_LICENSE)
string(REGEX REPLACE "\n\n" "\n.\n" KV_LICENSE "${KV_LICENSE}")
string(REGEX REPLACE "\n\n" "\n.\n" KV_LICENSE "${KV_LICENSE}")
string(REGEX REPLACE "\n$" "" KV_LICENSE "${KV_LICENSE}")
string(REPLACE "\n" "\n " KV_LICENSE "${KV_LICENSE}")
file(WRITE "${CMAKE_BINARY_DIR}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: kvfwdn\n\n"
     "Files: *\n"
     "Copyright: 2026 the kvfwdn authors\n"
     "License: Expat\n ${KV_LICENSE}\n")
install(FILES "${CMAKE_BINARY_DIR}/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# changelog.gz in the Debian format, made from CHANGELOG.md.
add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/changelog.gz"
                   COMMAND "${CMAKE_COMMAND}" -DIN=${CMAKE_SOURCE_DIR}/CHANGELOG.md
                           -DOUT=${CMAKE_BINARY_DIR}/changelog -DPACKAGE=kvfwdn
                           "-DMAINTAINER=${KV_PACKAGE_MAINTAINER}"
                           -P "${CMAKE_SOURCE_DIR}/cmake/DebianChangelog.cmake"
                   DEPENDS "${CMAKE_SOURCE_DIR}/CHANGELOG.md" "${CMAKE_SOURCE_DIR}/cmake/DebianChangelog.cmake"
                   VERBATIM)
add_custom_target(kv_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/changelog.gz")
install(FILES "${CMAKE_BINARY_DIR}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
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
# The package's manual pages are compressed (gzip -9n) in its staging tree.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_SOURCE_DIR}/cmake/PackageManPages.cmake")
include(CPack)
