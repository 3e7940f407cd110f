# Install rules and packages: `cmake --install` lays out both programs (qzb-unpack and qzb), their
# man pages, qzb's bash completion and the documents; `cpack -G DEB` packages a Release build for
# Debian, `cpack` in the mingw-w64 build gives qzb-unpack-<version>-win64.zip (or -win32.zip).
include(GNUInstallDirs)

if(WIN32)
    # A zip to unpack anywhere: both exes, the README and the licence side by side.
    install(TARGETS qzb-unpack qzb-cli RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
else()
    install(TARGETS qzb-unpack qzb-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    foreach(page IN ITEMS qzb-unpack qzb)
        configure_file(docs/${page}.1.in ${page}.1 @ONLY)
        install(FILES ${PROJECT_BINARY_DIR}/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
    install(FILES cli/completion.bash RENAME qzb
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    install(FILES README.md docs/performance.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "the qzb-unpack authors")
set(QZB_PACKAGE_CONTACT "qzb-unpack authors <qzb-unpack@example.org>"
    CACHE STRING "Maintainer of the packages, as \"name <address>\"")
set(CPACK_PACKAGE_CONTACT ${QZB_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpacker for QZB archives")
set(CPACK_PACKAGE_DESCRIPTION
    "qzb-unpack recreates the files of one QZB archive below a target\n"
    "directory. It checks the archive's structure and MD5 digests, bounds\n"
    "every size the archive claims by the file's real length, writes nothing\n"
    "outside the target directory and never leaves a partial file under an\n"
    "entry's name. qzb lists, tests and prints the entries of an archive and\n"
    "extracts those matching patterns.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Debian wants the man page and changelog compressed and the licence as its copyright file.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-layout.cmake)

include(CPack)
