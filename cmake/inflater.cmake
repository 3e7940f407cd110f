# The library that inflates the blocks: QZB_INFLATER=auto|libdeflate|isal|zlib. Sets
# QZB_INFLATER_CHOSEN, QZB_INFLATER_SOURCE (its block_decoder_*.cpp in archive/) and
# QZB_INFLATER_TARGET (its imported target).
#
# auto takes the first fast one found, libdeflate, then ISA-L. Both decode the blocks at about
# twice zlib's speed, and both accept a few malformed streams that zlib refuses, each its own
# (docs/performance.md); libdeflate is the one measured longest here. Windows builds find them the
# same way: scripts/windows-check builds libdeflate for mingw-w64 and hands its paths over,
# vcpkg and MSYS2 install it where find_package looks.
set(QZB_INFLATER auto CACHE STRING "Block inflater: auto, libdeflate, isal or zlib")
set_property(CACHE QZB_INFLATER PROPERTY STRINGS auto libdeflate isal zlib)

set(qzb_inflater_package_isal ISAL)
set(qzb_inflater_target_isal ISAL::ISAL)
set(qzb_inflater_debian_isal libisal-dev)
set(qzb_inflater_package_libdeflate Libdeflate)
set(qzb_inflater_target_libdeflate Libdeflate::Libdeflate)
set(qzb_inflater_debian_libdeflate libdeflate-dev)

if(QZB_INFLATER STREQUAL "auto")
    set(QZB_INFLATER_CHOSEN zlib)
    foreach(candidate IN ITEMS libdeflate isal)
        find_package(${qzb_inflater_package_${candidate}} QUIET)
        if(${qzb_inflater_package_${candidate}}_FOUND)
            set(QZB_INFLATER_CHOSEN ${candidate})
            break()
        endif()
    endforeach()
    if(QZB_INFLATER_CHOSEN STREQUAL "zlib")
        message(WARNING "No fast inflater found: blocks inflate with zlib, at about half the "
                        "speed. Install ${qzb_inflater_debian_libdeflate} (Debian; for mingw-w64 "
                        "scripts/windows-check builds it) and configure again.")
    endif()
elseif(QZB_INFLATER MATCHES "^(isal|libdeflate)$")
    set(QZB_INFLATER_CHOSEN ${QZB_INFLATER})
    find_package(${qzb_inflater_package_${QZB_INFLATER}})
    if(NOT ${qzb_inflater_package_${QZB_INFLATER}}_FOUND)
        message(FATAL_ERROR "QZB_INFLATER=${QZB_INFLATER} needs "
                            "${qzb_inflater_debian_${QZB_INFLATER}} (Debian)")
    endif()
elseif(QZB_INFLATER STREQUAL "zlib")
    set(QZB_INFLATER_CHOSEN zlib)
else()
    message(FATAL_ERROR "QZB_INFLATER must be auto, libdeflate, isal or zlib, not '${QZB_INFLATER}'")
endif()

set(QZB_INFLATER_SOURCE block_decoder_${QZB_INFLATER_CHOSEN}.cpp)
if(QZB_INFLATER_CHOSEN STREQUAL "zlib")
    set(QZB_INFLATER_TARGET ZLIB::ZLIB)
    message(STATUS "Block inflater: zlib")
else()
    set(QZB_INFLATER_TARGET ${qzb_inflater_target_${QZB_INFLATER_CHOSEN}})
    message(STATUS "Block inflater: ${QZB_INFLATER_CHOSEN} "
                   "(${${qzb_inflater_package_${QZB_INFLATER_CHOSEN}}_LIBRARY})")
endif()
