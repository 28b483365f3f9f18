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
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;CORVANE_STATE_DIR=${CMAKE_CURRENT_BINARY_DIR}/state-${name};${T_ENVIRONMENT}")
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
        ENVIRONMENT "CORVANE_BUILD_DIR=${PROJECT_BINARY_DIR};CORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
