# The hardening Debian asks of its programs: stack protector, fortified C library calls
# (they need an optimizing build), a position-independent executable, and relocations made
# read-only after start-up with every symbol bound at once.
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong)
if(NOT FOTARIK_SANITIZE AND NOT FOTARIK_TSAN AND NOT FOTARIK_FUZZ)
    # The sanitizers replace the checked functions with their own.
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)
