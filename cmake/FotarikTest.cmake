# fotarik_add_test(NAME [ON_X] SOURCES sources... LIBS libs... [TIMEOUT s])
# One Qt Test executable per unit, registered with CTest and run headless. ON_X runs it
# on a private X server with a window manager instead (tests/onscreen/run-on-x.sh), which
# skips it (exit 77) when no X server can be started.
function(fotarik_add_test name)
    cmake_parse_arguments(T "ON_X" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test fotarik_testsupport ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        FOTARIK_CORPUS_DIR="${PROJECT_SOURCE_DIR}/../shared/corpus")
    if(T_ON_X)
        add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/tests/onscreen/run-on-x.sh $<TARGET_FILE:${name}>)
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    # Generous, for a busy or instrumented machine: a limit is there to end a hang, not to
    # judge speed. Qt Test's own watchdog (5 min per test function) gets the same limit.
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 2")
    math(EXPR function_timeout_ms "${T_TIMEOUT} * 1000")
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=${function_timeout_ms};QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0;ASAN_OPTIONS=detect_leaks=1")
endfunction()
