# Links qzb_build_options into every target defined below `directory` in this project's sources,
# so that no target's own CMake code has to remember it and sources from elsewhere (GoogleTest
# built from source) keep their own flags.
function(qzb_apply_build_options directory)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT type STREQUAL "UTILITY")
            target_link_libraries(${target} PRIVATE qzb_build_options)
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${subdirectory}" NORMALIZE inside)
        if(inside)
            qzb_apply_build_options(${subdirectory})
        endif()
    endforeach()
endfunction()
