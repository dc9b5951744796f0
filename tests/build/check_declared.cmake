# Run by ctest as declared_<library> (see CMakeLists.txt): every function the library's
# headers declare, and that is not pure, defaulted or deleted, is defined in the
# library's archive or in one of the project's archives it links. Functions are matched
# by their qualified name (overloads are not told apart).
cmake_minimum_required(VERSION 3.25)
include(${LISTS})

file(GLOB headers ${HEADER_DIR}/*.h)
if(NOT headers)
    message(FATAL_ERROR "no headers in ${HEADER_DIR}")
endif()
execute_process(COMMAND ${CTAGS} -x "--_xformat=%{scope}::%{name}|%{C++.properties}|%{input}:%{line}"
                        --languages=C++ --c++-kinds=p --fields-C++=+{properties} --sort=no
                        -o - ${headers}
                RESULT_VARIABLE result OUTPUT_VARIABLE tags ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "ctags failed: ${errors}")
endif()

execute_process(COMMAND ${NM} --defined-only --demangle ${ARCHIVES}
                RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed: ${errors}")
endif()
# The defined functions' names, one a line: global text (T) and weak (W) symbols, their
# parameters and ABI tags taken off.
string(REGEX MATCHALL "[0-9a-f]+ [TW] [^\n]+" defined_lines "${symbols}")
set(defined "\n")
foreach(line IN LISTS defined_lines)
    string(REGEX REPLACE "^[0-9a-f]+ [TW] " "" name "${line}")
    string(REGEX REPLACE "\\[abi:[^]]*\\]" "" name "${name}")
    string(REGEX REPLACE "\\(.*$" "" name "${name}")
    string(REPLACE " " "" name "${name}")
    string(APPEND defined "${name}\n")
endforeach()

string(REGEX MATCHALL "[^\n]+" declarations "${tags}")
set(checked 0)
set(missing 0)
foreach(declaration IN LISTS declarations)
    if(NOT declaration MATCHES "^([^|]*)\\|([^|]*)\\|(.*)$")
        continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(properties "${CMAKE_MATCH_2}")
    set(where "${CMAKE_MATCH_3}")
    # Pure, defaulted and deleted functions have no definition to find; a name in
    # capitals is a macro's use (Q_DECLARE_LOGGING_CATEGORY) that ctags takes for one.
    if(properties MATCHES "(^|,)(pure|default|delete)(,|$)" OR name MATCHES "(^|::)[A-Z_0-9]+$")
        continue()
    endif()
    string(REGEX REPLACE "^::" "" name "${name}")
    string(REPLACE " " "" name "${name}")
    math(EXPR checked "${checked} + 1")
    string(FIND "${defined}" "\n${name}\n" found)
    if(found EQUAL -1)
        message(SEND_ERROR "${where}: ${name} is declared, and neither the library nor "
                           "what it links defines it")
        math(EXPR missing "${missing} + 1")
    endif()
endforeach()
if(checked EQUAL 0)
    message(FATAL_ERROR "no declarations found in ${HEADER_DIR}: is ctags universal-ctags?")
endif()
message(STATUS "${checked} declarations in ${HEADER_DIR}, ${missing} not defined")
if(missing GREATER 0)
    message(FATAL_ERROR "${missing} functions declared and not defined")
endif()
