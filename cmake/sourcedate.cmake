# Dates that end up in what the build makes (the release date, the times inside the demo course's
# zip script) are the commit's, so that a build does not depend on the day it was made: CMake's
# timestamps follow SOURCE_DATE_EPOCH. A tree made by "git archive" carries the commit's time in
# cmake/commit-time; a clone asks git; a tree with neither has only the clock.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/commit-time commit_time LIMIT_COUNT 1)
    if(NOT commit_time MATCHES "^[0-9]+$")
        find_package(Git QUIET)
        if(GIT_FOUND)
            execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE commit_time
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        endif()
    endif()
    if(commit_time MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
    endif()
endif()
