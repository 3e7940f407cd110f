# Under Wine: qzb-unpack.exe on an archive of Japanese names in CP932, once with the Japanese code
# page, where every name is converted before it is split and lands whole, and once with the usual
# one (1252), where each byte is a character as before: 5C splits and the name with a 7C byte is
# refused as holding '|'. Wine takes its code page from LC_ALL, and the characters of the host's
# file names from that locale: ja_JP.UTF-8 must exist on the host (scripts/windows-check makes it).
# cmake -DEMULATOR=wine -DMAKER=make_japanese_archive.exe -DTOOL=qzb-unpack.exe -DSCRATCH=dir -P this
execute_process(COMMAND locale -a OUTPUT_VARIABLE locales RESULT_VARIABLE status)
string(TOLOWER "${locales}" locales)
if(NOT status EQUAL 0 OR NOT locales MATCHES "(^|\n)ja_jp[.]utf-?8(\n|$)")
    message("SKIPPED: the host has no ja_JP.UTF-8 locale (localedef -i ja_JP -f UTF-8 ja_JP.UTF-8)")
    return()
endif()
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(COMMAND ${EMULATOR} ${MAKER} Z:${SCRATCH}/a.qzb RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the archive maker failed: ${status}")
endif()

foreach(case IN ITEMS japanese usual)
    set(target ${SCRATCH}/${case})
    if(case STREQUAL "japanese")
        set(locale ja_JP.UTF-8)
    else()
        set(locale C.UTF-8)
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=${locale} ${EMULATOR} ${TOOL}
                            Z:${SCRATCH}/a.qzb Z:${target}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    file(GLOB_RECURSE files RELATIVE ${target} ${target}/*)
    list(SORT files)
    message(STATUS "${case} code page: status ${status}, files: ${files}")
    if(case STREQUAL "japanese")
        set(expected "ソフト/表示設定.ini;ポスター/予定表.xls;マニュアル正誤表.txt")
        if(NOT status EQUAL 0 OR NOT files STREQUAL expected)
            message(FATAL_ERROR "Japanese code page: status ${status}\n${out}${err}")
        endif()
        # The console lines name the entries by their bytes, as before, not in UTF-8.
        string(FIND "${out}" "1 / 3: " at)
        string(FIND "${out}" "マニュアル" converted)
        if(at EQUAL -1 OR NOT converted EQUAL -1)
            message(FATAL_ERROR "Japanese code page: report\n${out}")
        endif()
    else()
        list(LENGTH files count)
        list(FILTER files INCLUDE REGEX "/\\.txt$")
        if(NOT status EQUAL 1 OR NOT err STREQUAL "  ERROR: Invalid file path listed in the archive\n"
           OR NOT count EQUAL 2 OR NOT files)
            message(FATAL_ERROR "usual code page: status ${status}, ${err}")
        endif()
    endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
