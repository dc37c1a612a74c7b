# fotarik_add_test(NAME sources... LIBS libs...)
# One Qt Test executable per unit, registered with CTest and run headless.
function(fotarik_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test fotarik_testsupport ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        FOTARIK_CORPUS_DIR="${PROJECT_SOURCE_DIR}/../shared/corpus")
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0;ASAN_OPTIONS=detect_leaks=1")
endfunction()
