# Shared part of the mingw-w64 toolchain files; the including file sets QZB_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix thread variant carries std::thread and friends; -win32 lacks them.
set(CMAKE_C_COMPILER ${QZB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QZB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QZB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained exe: zlib, libstdc++ and winpthread linked in, no DLL beyond the system's.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# The symbols of the static runtime would double the size of a release exe.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT -s)

find_program(QZB_WINE wine)
if(QZB_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QZB_WINE})
endif()
