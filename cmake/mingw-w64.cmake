# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
# cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CHKMEND_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model: the win32 one lacks std::thread and friends in older releases.
set(CMAKE_C_COMPILER ${CHKMEND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHKMEND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CHKMEND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHKMEND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
