# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DCHECK_ARGUMENTS=... -P probe_includes.cmake
# Runs the configure step's layer check on a copy of the module's folders: the tree as it is
# must pass, and each probe include planted in the copy must make it fail.
set(probes
    "detector/anr_collector.cpp|#include \"keel_standin.h\""
    "platform/clock.h|#include \"log/log.h\""
    "base/utf8_text.cpp|#include \"platform/clock.h\""
    "report/reports.cpp|#include \"detector/anr_collector.h\""
    "minidump/layout.cpp|#include \"platform/clock.h\""
    "config/startup_event.cpp|#include \"sdk/include/upload_standin.h\""
)
string(REPLACE "|" ";" arguments "${CHECK_ARGUMENTS}")

function(run_check expect_failure what)
    execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK_DIR} ${arguments}
        -P ${SOURCE_DIR}/cmake/check_layers.cmake
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
    if(expect_failure AND result EQUAL 0)
        message(FATAL_ERROR "the layer check let ${what} through")
    elseif(NOT expect_failure AND NOT result EQUAL 0)
        message(FATAL_ERROR "the layer check refused ${what}:\n${errors}")
    endif()
endfunction()

function(fresh_copy)
    file(REMOVE_RECURSE ${WORK_DIR})
    foreach(folder base minidump platform log sysinfo cache detector report config anr)
        if(EXISTS ${SOURCE_DIR}/${folder})
            file(COPY ${SOURCE_DIR}/${folder} DESTINATION ${WORK_DIR})
        endif()
    endforeach()
endfunction()

fresh_copy()
run_check(FALSE "the module as it is")
foreach(probe ${probes})
    string(FIND "${probe}" "|" bar)
    string(SUBSTRING "${probe}" 0 ${bar} file)
    math(EXPR after "${bar} + 1")
    string(SUBSTRING "${probe}" ${after} -1 line)
    fresh_copy()
    file(APPEND ${WORK_DIR}/${file} "\n${line}\n")
    run_check(TRUE "${line} in ${file}")
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
