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
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0;ASAN_OPTIONS=detect_leaks=1")
endfunction()
