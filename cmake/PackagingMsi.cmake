# Windows Installer package (wixl, from msitools), beside the NSIS installer
# of Packaging.cmake. Included from there on Windows builds (the cross build
# included). See README "Deploy on Windows" and docs/windows.md.
#
#   cmake --build build/windows-cross --target msi   -> Corvane-Agent-<version>-x64.msi
#
# The package's files are harvested from what `cmake --install` lays out, that
# is from the same install() rules that fill the NSIS installer: one list of
# what ships. Its custom actions (MsiActions.dll) are packaged inside it and
# are not installed.
include_guard(GLOBAL)

set(CORVANE_MSI_VERSION "${PROJECT_VERSION}" CACHE STRING "ProductVersion of the Windows Installer package")

add_library(corvane_msi_actions SHARED ${PROJECT_SOURCE_DIR}/packaging/windows/MsiActions.cpp)
set_target_properties(corvane_msi_actions PROPERTIES OUTPUT_NAME MsiActions PREFIX "" AUTOMOC OFF)
# By file name: "msi" alone would name the package target below.
if(MSVC)
    target_link_libraries(corvane_msi_actions PRIVATE msi.lib advapi32 ws2_32)
else()
    target_link_libraries(corvane_msi_actions PRIVATE -lmsi advapi32 ws2_32)
endif()
if(MINGW)
    # Windows Installer loads the DLL from a temporary file: no runtime DLLs beside it.
    target_link_options(corvane_msi_actions PRIVATE -static)
endif()

find_program(CORVANE_WIXL wixl)
if(CORVANE_WIXL)
    set(corvane_msi_stage "${PROJECT_BINARY_DIR}/msi/installed")
    set(corvane_msi_file "${PROJECT_BINARY_DIR}/Corvane-Agent-${CORVANE_MSI_VERSION}-x64.msi")
    add_custom_target(msi
        COMMAND ${CMAKE_COMMAND} -E rm -rf "${corvane_msi_stage}"
        COMMAND ${CMAKE_COMMAND} --install "${PROJECT_BINARY_DIR}" --prefix "${corvane_msi_stage}"
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-msi.sh "${corvane_msi_stage}"
                $<TARGET_FILE:corvane_msi_actions> "${corvane_msi_file}" "${CORVANE_MSI_VERSION}"
        COMMENT "Windows Installer package ${corvane_msi_file}"
        VERBATIM)
    add_dependencies(msi corvane_msi_actions agentcorvane)
    foreach(program agentcorvanegui corvanectl)
        if(TARGET ${program})
            add_dependencies(msi ${program})
        endif()
    endforeach()
endif()
