# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads) and
# the Qt 5.15 / OpenSSL toolchain from ../shared/toolchains, which
# scripts/windows-toolchain.sh unpacks once into a cache folder. Give
# CORVANE_WIN64_QT (cache variable or environment) to use another Qt folder.
#
#   cmake --preset windows-cross && cmake --build --preset windows-cross
#
# Tests of the cross build run under wine through CMAKE_CROSSCOMPILING_EMULATOR
# (scripts/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

get_filename_component(corvane_toolchain_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
if(NOT CORVANE_WIN64_QT AND DEFINED ENV{CORVANE_WIN64_QT})
    set(CORVANE_WIN64_QT "$ENV{CORVANE_WIN64_QT}")
endif()
if(NOT CORVANE_WIN64_QT)
    execute_process(COMMAND sh "${corvane_toolchain_root}/scripts/windows-toolchain.sh"
                    OUTPUT_VARIABLE CORVANE_WIN64_QT OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE corvane_unpacked)
    if(NOT corvane_unpacked EQUAL 0 OR NOT IS_DIRECTORY "${CORVANE_WIN64_QT}")
        message(FATAL_ERROR "No Windows Qt: scripts/windows-toolchain.sh failed; set CORVANE_WIN64_QT")
    endif()
endif()
set(CORVANE_WIN64_QT "${CORVANE_WIN64_QT}" CACHE PATH "Qt 5.15 built for Windows (MinGW-w64)")
# try_compile projects see the same folder.
set(ENV{CORVANE_WIN64_QT} "${CORVANE_WIN64_QT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_WIN64_QT)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${CORVANE_WIN64_QT}")
set(CMAKE_PREFIX_PATH "${CORVANE_WIN64_QT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${corvane_toolchain_root}/scripts/wine-run.sh")
