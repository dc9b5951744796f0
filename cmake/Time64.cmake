# A 64-bit time_t wherever the C library offers one. Where time_t is 32 bits by
# default (Debian's i386, for one), glibc 2.34 and later offer a 64-bit one with
# _TIME_BITS=64 (which needs _FILE_OFFSET_BITS=64); without it, the clock could not be
# set past 2038-01-19 03:14:07 UTC. Every file of the build, Horalis's own and the
# tests, is compiled alike; no time_t crosses into Qt, whose API counts in qint64.
# Where no 64-bit time_t can be had, the clock refuses instants after 2038 (see
# platform/instant.h).
option(HORALIS_64BIT_TIME "Use a 64-bit time_t where it is not the default but the C library offers one" ON)
include(CheckTypeSize)
check_type_size(time_t HORALIS_TIME_T_SIZE LANGUAGE CXX)
set(HORALIS_TIME_BITS 0)
if(HORALIS_TIME_T_SIZE)
    math(EXPR HORALIS_TIME_BITS "${HORALIS_TIME_T_SIZE} * 8")
endif()
if(HORALIS_64BIT_TIME AND HORALIS_TIME_BITS LESS 64)
    set(CMAKE_REQUIRED_DEFINITIONS -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64)
    check_type_size(time_t HORALIS_TIME64_T_SIZE LANGUAGE CXX)
    unset(CMAKE_REQUIRED_DEFINITIONS)
    if(HORALIS_TIME64_T_SIZE EQUAL 8)
        add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
        set(HORALIS_TIME_BITS 64)
    endif()
endif()
message(STATUS "time_t: ${HORALIS_TIME_BITS} bits")
