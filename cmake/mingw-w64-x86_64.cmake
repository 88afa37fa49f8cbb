# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model: the tests use std::thread, which the win32 model of GCC 12 lacks).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DPGDUMP_WIN_DEPS=<prefix with Mbed TLS (and GoogleTest)> ...
#
# Everything that the host Debian has under /usr is for Linux; libraries and
# packages are looked up only under the MinGW sysroot and PGDUMP_WIN_DEPS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PGDUMP_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${PGDUMP_MINGW_TRIPLE}-gcc-posix ${PGDUMP_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PGDUMP_MINGW_TRIPLE}-g++-posix ${PGDUMP_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PGDUMP_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PGDUMP_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PGDUMP_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# The variable has to survive try_compile, which re-reads this file.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PGDUMP_WIN_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${PGDUMP_MINGW_TRIPLE})
if(PGDUMP_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PGDUMP_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the test executable where CMake needs to (test discovery).
find_program(PGDUMP_WINE NAMES wine wine64)
if(PGDUMP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PGDUMP_WINE})
endif()

# The C and C++ runtimes and winpthread go into each binary, so that the
# DLL needs nothing beside it but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
