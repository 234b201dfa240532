# tarsel_windows_resources(TARGET DESCRIPTION)
# Gives a shipped executable its version resource (product, version, file
# description) and its application manifest, compiled by windres.
set(TARSEL_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/tarsel.manifest)

function(tarsel_windows_resources target description)
    set(TARSEL_RC_DESCRIPTION "${description}")
    set(TARSEL_RC_NAME "${target}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-resources.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    # windres reads the manifest itself; CMake cannot see that dependency.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TARSEL_MANIFEST})
endfunction()
