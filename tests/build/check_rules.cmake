# Run by ctest as build_rules (see CMakeLists.txt): compiles one-line probes with the
# flags a library gives its own sources, and holds each include to the design's rule.
cmake_minimum_required(VERSION 3.25)

# What the design forbids each library's sources to include: the window's services
# (ui/), the window (app/), Qt Widgets, and a layer above the library's own.
set(ui_and_app [["pointer.h"]] [["ui/pointer.h"]] [["messageboxes.h"]] [["ui/messageboxes.h"]]
    [["services.h"]] [["ui/services.h"]] [["form1.h"]] [["app/form1.h"]])
set(forbid_horalis_platform ${ui_and_app} <QWidget> [["daytimereply.h"]] [["daytimeclient.h"]]
    [["networktimefetch.h"]])
set(forbid_horalis_net ${ui_and_app} <QWidget>)
set(forbid_horalis_platform_ui [["form1.h"]] [["daytimeclient.h"]] [["networktimefetch.h"]])
# What each may include, compiled the same way: the controls. Each of the library's own
# headers is one, alone, so each header also includes what it needs to compile.
set(allow_horalis_platform <QString>)
set(allow_horalis_net [["instant.h"]] <QTcpSocket>)
set(allow_horalis_platform_ui [["instant.h"]] <QWidget>)
set(folder_horalis_platform platform)
set(folder_horalis_net net)
set(folder_horalis_platform_ui ui)
foreach(lib IN ITEMS horalis_platform horalis_net horalis_platform_ui)
    file(GLOB headers RELATIVE ${PROBE_SOURCE_DIR}/${folder_${lib}}
         ${PROBE_SOURCE_DIR}/${folder_${lib}}/*.h)
    list(SORT headers)
    foreach(header IN LISTS headers)
        list(APPEND allow_${lib} "\"${header}\"")
    endforeach()
endforeach()

set(failures 0)
file(MAKE_DIRECTORY ${PROBE_DIR}/probes)
separate_arguments(flags UNIX_COMMAND "${PROBE_FLAGS} ${PROBE_STD} ${PROBE_PIC}")

# Compiles "#include INCLUDE" as LIB's sources are compiled; sets OUT_OK and OUT_LOG.
function(probe lib include index)
    include(${PROBE_DIR}/probe-${lib}-${PROBE_CONFIG}.cmake)
    set(args ${flags})
    # As CMake passes them: the project's folders with -I, the imported ones (Qt's)
    # as system folders, whose headers' warnings do not count, and the compiler's own
    # not at all.
    foreach(dir IN LISTS PROBE_INCLUDES)
        if(dir IN_LIST PROBE_IMPLICIT)
            continue()
        endif()
        cmake_path(IS_PREFIX PROBE_SOURCE_DIR "${dir}" in_source)
        cmake_path(IS_PREFIX PROBE_BINARY_DIR "${dir}" in_binary)
        if(in_source OR in_binary)
            list(APPEND args "-I${dir}")
        else()
            list(APPEND args -isystem "${dir}")
        endif()
    endforeach()
    foreach(def IN LISTS PROBE_DEFINES)
        list(APPEND args "-D${def}")
    endforeach()
    list(APPEND args ${PROBE_OPTIONS})
    set(source ${PROBE_DIR}/probes/${lib}-${index}.cpp)
    file(WRITE ${source} "#include ${include}\n")
    execute_process(COMMAND ${PROBE_CXX} ${args} -fsyntax-only ${source}
                    RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(result EQUAL 0)
        set(OUT_OK TRUE PARENT_SCOPE)
    else()
        set(OUT_OK FALSE PARENT_SCOPE)
    endif()
    set(OUT_LOG "${log}" PARENT_SCOPE)
endfunction()

foreach(lib IN ITEMS horalis_platform horalis_net horalis_platform_ui)
    set(index 0)
    foreach(include IN LISTS allow_${lib})
        math(EXPR index "${index} + 1")
        probe(${lib} "${include}" ${index})
        if(OUT_OK)
            message(STATUS "${lib}: #include ${include} compiles, as it should")
        else()
            message(SEND_ERROR "${lib}: #include ${include} does not compile alone (a "
                               "header that needs another included first, or a probe "
                               "that proves nothing):\n${OUT_LOG}")
            math(EXPR failures "${failures} + 1")
        endif()
    endforeach()
    foreach(include IN LISTS forbid_${lib})
        math(EXPR index "${index} + 1")
        probe(${lib} "${include}" ${index})
        string(REGEX REPLACE "^[<\"](.*)[>\"]$" "\\1" file "${include}")
        string(FIND "${OUT_LOG}" "${file}: No such file or directory" gcc_missing)
        string(FIND "${OUT_LOG}" "'${file}' file not found" clang_missing)
        if(OUT_OK)
            message(SEND_ERROR "${lib}: #include ${include} compiles; "
                               "the design forbids it to this library")
            math(EXPR failures "${failures} + 1")
        elseif(gcc_missing EQUAL -1 AND clang_missing EQUAL -1)
            message(SEND_ERROR "${lib}: #include ${include} fails, but not as a file not "
                               "found:\n${OUT_LOG}")
            math(EXPR failures "${failures} + 1")
        else()
            message(STATUS "${lib}: #include ${include} is not found, as it should not be")
        endif()
    endforeach()
endforeach()
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} include probes broke the design's rules")
endif()
