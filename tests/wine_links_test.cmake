# Under Wine: a link of the host's file system, which Wine shows as a reparse point, stands as an
# entry's directory, once leading out of the target and once to a directory inside it. The entry
# is refused and nothing is written through the link. Wine cannot make a Windows symbolic link or
# junction itself (e2e_extraction_test.cpp).
# cmake -DEMULATOR=wine -DTOOL=qzb-unpack.exe -DARCHIVE=sample.qzb -DSCRATCH=dir -P this file
file(REMOVE_RECURSE ${SCRATCH})
foreach(case IN ITEMS outside inside)
    set(target ${SCRATCH}/${case}/target)
    file(MAKE_DIRECTORY ${target}/real ${SCRATCH}/${case}/elsewhere)
    if(case STREQUAL "outside")
        file(CREATE_LINK ${SCRATCH}/${case}/elsewhere ${target}/docs SYMBOLIC)
    else()
        file(CREATE_LINK real ${target}/docs SYMBOLIC)
    endif()
    execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARCHIVE} Z:${target}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 1 OR NOT err STREQUAL "  ERROR: Failed to create destination directories\n")
        message(FATAL_ERROR "${case}: status ${status}, standard error:\n${err}\n${out}")
    endif()
    file(GLOB_RECURSE through ${SCRATCH}/${case}/elsewhere/* ${target}/real/*)
    if(through OR NOT EXISTS ${target}/readme.txt)
        message(FATAL_ERROR "${case}: written through the link: ${through}")
    endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
