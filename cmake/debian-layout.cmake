# Run by CPack on the staged files before it builds a package: for a .deb, the man page is
# compressed, the licence becomes the copyright file and a changelog is added, as Debian's policy
# asks. Other packages are left as installed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()

# Below the staging directory's install prefix (/usr).
file(GLOB_RECURSE qzb_staged_licence ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/LICENSE)
file(GLOB_RECURSE qzb_staged_man_page ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/qzb-unpack.1)
file(GLOB_RECURSE qzb_staged_qzb_man_page ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/qzb.1)
if(NOT qzb_staged_licence OR NOT qzb_staged_man_page OR NOT qzb_staged_qzb_man_page)
    message(FATAL_ERROR "debian-layout: no LICENSE or man page below ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
cmake_path(GET qzb_staged_licence PARENT_PATH qzb_doc)

# The licence's text from its permission notice on; its copyright line goes into the field.
file(READ ${qzb_staged_licence} qzb_licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" qzb_copyright "${qzb_licence}")
set(qzb_copyright ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*\n(Permission )" "\\1" qzb_licence "${qzb_licence}")
string(STRIP "${qzb_licence}" qzb_licence)
string(REGEX REPLACE "\n\n" "\n.\n" qzb_licence "${qzb_licence}")
string(REGEX REPLACE "\n" "\n " qzb_licence "${qzb_licence}")
file(WRITE ${qzb_doc}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: qzb-unpack\n"
     "\n"
     "Files: *\n"
     "Copyright: ${qzb_copyright}\n"
     "License: Expat\n"
     " ${qzb_licence}\n")
file(REMOVE ${qzb_staged_licence})

# Dated from SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP qzb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${qzb_doc}/changelog
     "qzb-unpack (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n"
     "\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${qzb_date}\n")

foreach(file IN ITEMS ${qzb_doc}/changelog ${qzb_staged_man_page} ${qzb_staged_qzb_man_page})
    execute_process(COMMAND gzip -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
