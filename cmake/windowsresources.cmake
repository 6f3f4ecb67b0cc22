# Windows resources of the five programs: each gets a version resource made
# from the project version; updater and versionupdater also carry their icon
# and the manifest that asks for administrator rights. The resources are
# compiled into the programs only when building for Windows; CI compiles and
# links them with mingw-w64 on every run (tests/programs/windows).
#
# Needs UPDATER_SOURCE_DIR (the repository) and PROJECT_VERSION_MAJOR,
# _MINOR and _PATCH.

set(UPDATER_WINDOWS_PROGRAMS updater versionupdater manifesteditor manifesttool updateserver)
set(UPDATER_WINDOWS_DESCRIPTION_updater "Brevlane manifest updater")
set(UPDATER_WINDOWS_DESCRIPTION_versionupdater "Brevlane version-list updater")
set(UPDATER_WINDOWS_DESCRIPTION_manifesteditor "Brevlane manifest editor")
set(UPDATER_WINDOWS_DESCRIPTION_manifesttool "Brevlane manifest tool")
set(UPDATER_WINDOWS_DESCRIPTION_updateserver "Brevlane update server")
set(UPDATER_WINDOWS_RC_updater "${UPDATER_SOURCE_DIR}/updater/resources/updater.rc")
set(UPDATER_WINDOWS_RC_versionupdater "${UPDATER_SOURCE_DIR}/versionupdater/resources/versionupdater.rc")

# The resource files of `program`, the version resource generated now.
function(updater_windows_resource_files program out)
    set(UPDATER_RC_PROGRAM ${program})
    set(UPDATER_RC_DESCRIPTION "${UPDATER_WINDOWS_DESCRIPTION_${program}}")
    set(versionRc "${CMAKE_BINARY_DIR}/windows/${program}-version.rc")
    configure_file("${UPDATER_SOURCE_DIR}/cmake/versioninfo.rc.in" "${versionRc}" @ONLY)
    set(${out} ${UPDATER_WINDOWS_RC_${program}} "${versionRc}" PARENT_SCOPE)
endfunction()

# Adds the resources to the program targets, when building for Windows.
function(updater_add_windows_resources)
    foreach(program ${UPDATER_WINDOWS_PROGRAMS})
        updater_windows_resource_files(${program} files)
        if(WIN32)
            target_sources(${program} PRIVATE ${files})
        endif()
    endforeach()
endfunction()
