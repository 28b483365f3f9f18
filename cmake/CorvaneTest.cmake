# Sanitizer settings every test inherits: Qt's own libraries are not built with
# the sanitizers, so their internal synchronisation is suppressed.
set(CORVANE_SANITIZER_ENV "")
if(CORVANE_TSAN)
    set(CORVANE_SANITIZER_ENV "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp:second_deadlock_stack=1")
elseif(CORVANE_ASAN)
    set(CORVANE_SANITIZER_ENV "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# corvane_add_test(<name> SOURCES <files...> LIBS <targets...> [NETNS] [LABELS <labels...>]
#                  [TIMEOUT <seconds>] [ENVIRONMENT <VAR=value...>])
# Builds one Qt Test executable and registers it with CTest. Tests run with the
# offscreen platform and a private state directory so they never touch the host.
# NETNS runs the test in a private network and IPC namespace (tests that bind
# fixed ports such as 53, 443, 853, 13107 or 49101), with the development
# service's addresses on its loopback.
function(corvane_add_test name)
    cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    if(T_NETNS)
        add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/tests/netns-run.sh $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;CORVANE_STATE_DIR=${CMAKE_CURRENT_BINARY_DIR}/state-${name};${CORVANE_SANITIZER_ENV};${T_ENVIRONMENT}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# corvane_add_script_test(<name> COMMAND <cmd...> [LABELS ...] [TIMEOUT s])
# Registers a shell-driven end-to-end test (namespaces, real peers).
function(corvane_add_script_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
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
