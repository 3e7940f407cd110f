# Debian packages GoogleTest for the build host only; a cross build compiles it for the target from
# the sources of the googletest package.
set(QZB_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${QZB_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${QZB_GOOGLETEST_SOURCE_DIR} (apt-get install googletest)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
# Provides GTest::gtest and GTest::gtest_main, as find_package(GTest) does.
add_subdirectory(${QZB_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
