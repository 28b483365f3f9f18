# Sanitizer settings every test inherits: Qt's own libraries are not built with
# the sanitizers, so their internal synchronisation is suppressed.
set(CORVANE_SANITIZER_ENV "")
if(CORVANE_TSAN)
    set(CORVANE_SANITIZER_ENV "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp:second_deadlock_stack=1")
elseif(CORVANE_ASAN)
    set(CORVANE_SANITIZER_ENV "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# The Windows cross build (cmake/toolchains/mingw-w64-x86_64.cmake) builds the
# tests marked WINDOWS and runs them under wine; a Linux build can run that
# build's copies as well (windows_<name>, label windows), so that one ctest run
# covers both. scripts/windows-cross-build.sh makes the cross build in
# <build>/windows-cross.
set(corvane_windows_default OFF)
if(NOT WIN32 AND NOT CORVANE_ASAN AND NOT CORVANE_TSAN)
    find_program(CORVANE_MINGW_CXX x86_64-w64-mingw32-g++-posix)
    if(CORVANE_MINGW_CXX AND EXISTS "${PROJECT_SOURCE_DIR}/../shared/toolchains/corvane-win64-qt5.15.tar.xz")
        set(corvane_windows_default ON)
    endif()
endif()
option(CORVANE_WINDOWS_TESTS "Build the Windows cross build and run its tests under wine (label windows)"
       ${corvane_windows_default})
set(CORVANE_WINDOWS_CROSS_DIR "${PROJECT_BINARY_DIR}/windows-cross")
if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(CORVANE_WINEPREFIX "${PROJECT_BINARY_DIR}/wineprefix")
    set(CORVANE_WINE_ENV "WINEPREFIX=${CORVANE_WINEPREFIX};CORVANE_WIN64_QT=${CORVANE_WIN64_QT};CORVANE_WINE_QTEST=1")
elseif(CORVANE_WINDOWS_TESTS)
    set(CORVANE_WINEPREFIX "${CORVANE_WINDOWS_CROSS_DIR}/wineprefix")
    set(CORVANE_WINE_ENV "WINEPREFIX=${CORVANE_WINEPREFIX};CORVANE_WINE_QTEST=1")
endif()

# corvane_add_test(<name> SOURCES <files...> LIBS <targets...> [NETNS] [WINDOWS] [LABELS <labels...>]
#                  [TIMEOUT <seconds>] [ENVIRONMENT <VAR=value...>])
# Builds one Qt Test executable and registers it with CTest. Tests run with the
# offscreen platform and a private state directory so they never touch the host.
# NETNS runs the test in a private network and IPC namespace (tests that bind
# fixed ports such as 53, 443, 853, 13107 or 49101), with the development
# service's addresses on its loopback.
# WINDOWS: the test does not depend on Linux; the Windows build builds it too
# (a Windows build builds only these), and under wine it runs against wine's
# registry and Winsock.
function(corvane_add_test name)
    cmake_parse_arguments(T "NETNS;WINDOWS" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    if(WIN32 AND NOT T_WINDOWS)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(netns_runner "")
    if(T_NETNS AND CMAKE_HOST_UNIX)
        set(netns_runner ${PROJECT_SOURCE_DIR}/tests/netns-run.sh)
    endif()
    set(environment "QT_QPA_PLATFORM=offscreen;CORVANE_STATE_DIR=${CMAKE_CURRENT_BINARY_DIR}/state-${name};${CORVANE_SANITIZER_ENV};${T_ENVIRONMENT}")
    # Under wine the tray program's tests use the real Windows platform
    # plugin, and wine needs an X server for top-level windows.
    set(wine_environment "${CORVANE_WINE_ENV}")
    if("gui" IN_LIST T_LABELS)
        string(APPEND wine_environment ";QT_QPA_PLATFORM=windows;CORVANE_WINE_DISPLAY=1")
    endif()
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        # add_test puts the emulator (wine) in front of a target; behind the
        # namespace runner it must be named.
        if(netns_runner)
            add_test(NAME ${name} COMMAND ${netns_runner} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
        else()
            add_test(NAME ${name} COMMAND ${name})
        endif()
        # One registry for all of them: the tests take turns.
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK registry)
        set(environment "${environment};${wine_environment}")
        list(APPEND T_LABELS windows)
    elseif(netns_runner)
        add_test(NAME ${name} COMMAND ${netns_runner} $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${environment}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_WINDOWS AND CORVANE_WINDOWS_TESTS AND NOT WIN32)
        # The cross build's copy of this test, under wine.
        file(RELATIVE_PATH relative "${PROJECT_BINARY_DIR}" "${CMAKE_CURRENT_BINARY_DIR}")
        set(program "${CORVANE_WINDOWS_CROSS_DIR}/${relative}/${name}.exe")
        add_test(NAME windows_${name}
                 COMMAND ${netns_runner} ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${program})
        set_tests_properties(windows_${name} PROPERTIES
            TIMEOUT ${T_TIMEOUT}
            LABELS windows
            FIXTURES_REQUIRED "windows_cross;windows_wine_prefix"
            RESOURCE_LOCK registry
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENVIRONMENT};${wine_environment}")
    endif()
endfunction()

# corvane_add_script_test(<name> COMMAND <cmd...> [LABELS ...] [TIMEOUT s])
# Registers a shell-driven end-to-end test (namespaces, real peers).
function(corvane_add_script_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
    # Shell-driven tests run from the Linux build only.
    if(WIN32)
        return()
    endif()
    add_test(NAME ${name} COMMAND ${T_COMMAND})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "CORVANE_BUILD_DIR=${PROJECT_BINARY_DIR};CORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR};${CORVANE_SANITIZER_ENV}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
