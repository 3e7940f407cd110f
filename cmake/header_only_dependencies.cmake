# CLI11 (qzb's command line) and nlohmann-json (the parser its JSON is tested against), header-only,
# from Debian (libcli11-dev, nlohmann-json3-dev). A cross build takes the same headers from the
# host, but not through the host's include directory, which would put the host's C library before
# the cross compiler's: each package's directory is linked into one of the build tree that holds
# nothing else.
set(qzb_header_only_root ${PROJECT_BINARY_DIR}/header-only)
add_library(qzb_header_only_dependencies INTERFACE)
foreach(header IN ITEMS CLI/CLI.hpp nlohmann/json.hpp)
    string(MAKE_C_IDENTIFIER "QZB_INCLUDE_${header}" variable)
    find_path(${variable} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ${variable})
        message(FATAL_ERROR "${header} not found: install libcli11-dev and nlohmann-json3-dev "
                            "(scripts/install-deps)")
    endif()
    cmake_path(GET header PARENT_PATH package)
    file(MAKE_DIRECTORY ${qzb_header_only_root})
    file(CREATE_LINK ${${variable}}/${package} ${qzb_header_only_root}/${package} SYMBOLIC)
endforeach()
target_include_directories(qzb_header_only_dependencies SYSTEM INTERFACE ${qzb_header_only_root})
