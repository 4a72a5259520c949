# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix-thread flavour: the win32 one
# has no std::mutex, std::thread or std::future), against a static Qt and OpenSSL for Windows.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOXBELL_WINDOWS_PREFIX=<prefix> ...
# tools/windows.sh builds that prefix and configures the build so.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_target x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_target}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_target}-windres)

set(OXBELL_WINDOWS_PREFIX "" CACHE PATH "Qt and OpenSSL built for Windows (tools/windows.sh toolchain)")
if(NOT IS_DIRECTORY "${OXBELL_WINDOWS_PREFIX}")
    message(FATAL_ERROR "OXBELL_WINDOWS_PREFIX must name the Windows Qt and OpenSSL: tools/windows.sh builds it.")
endif()
# Try-compiles see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OXBELL_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH ${OXBELL_WINDOWS_PREFIX} /usr/${mingw_target})
# Libraries and headers for Windows only; programs (the host's openssl, rsvg-convert, and Qt's moc
# and rcc, which the prefix holds for the build machine) from anywhere.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_USE_STATIC_LIBS TRUE)

# One file to copy: the C and C++ runtimes and winpthreads go into the program; a release build's
# without its symbols.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
# Wine runs the test programs.
find_program(OXBELL_WINE_COMMAND wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(OXBELL_WINE_COMMAND)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${OXBELL_WINE_COMMAND})
endif()
