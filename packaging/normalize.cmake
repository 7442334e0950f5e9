# Run by cpack twice: between installing into its staging folder and packing it
# (CPACK_PRE_BUILD_SCRIPTS), and after writing the package (CPACK_POST_BUILD_SCRIPTS). It takes
# out what the umask of the one who packs would put in: install() makes folders through mkdir,
# which the umask narrows, and cpack gives the three members of a .deb the modes of its work files.
# Files in the package already have 0644 or 0755 from install(). It also takes the compiler's
# .comment section out of the Linux programs, which a plain strip leaves (as Debian's tools do).
if(NOT CPACK_PACKAGE_FILES)
    file(CHMOD_RECURSE "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY_PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
    foreach(program ${programs})
        execute_process(COMMAND "${CPACK_KORVANE_STRIP}" --remove-section=.comment "${program}"
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "strip failed on ${program}")
        endif()
    endforeach()
    return()
endif()
foreach(package ${CPACK_PACKAGE_FILES})
    if(package MATCHES "\\.deb$")
        execute_process(COMMAND "${CPACK_KORVANE_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/ar_modes.py"
                                "${package}" RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "ar_modes.py failed on ${package}")
        endif()
    endif()
endforeach()
