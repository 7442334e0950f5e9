# Read by cpack before it writes a package (CPACK_PROJECT_CONFIG_FILE): every file in the package
# gets the time of the last commit (SOURCE_DATE_EPOCH, unless the caller has set it), so packaging
# one commit twice gives the same bytes. cpack already sorts the files and makes root the owner.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    execute_process(COMMAND git log -1 --format=%ct
                    WORKING_DIRECTORY "${CPACK_KORVANE_SOURCE_DIR}"
                    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_result ERROR_QUIET)
    if(git_result EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
    else()
        message(WARNING "No SOURCE_DATE_EPOCH and no git history: the package's files get "
                        "the time of packaging, and the package is not reproducible.")
    endif()
endif()
# A zip's time stamps are local time: the same for everyone in UTC.
set(ENV{TZ} "UTC0")
