# Debian packages GoogleTest for the build host only; a cross build compiles it for the target from
# the sources of the googletest package. Provides GTest::gtest and GTest::gtest_main, as
# find_package(GTest) does, when the sources are there.
set(QZB_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(EXISTS ${QZB_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${QZB_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
