# Windows installer (CPack NSIS): both programs, the Qt runtime beside each
# of them, and the service registration through the agent's own command line.
# Included from the root CMakeLists.txt after the programs' folders; on Linux
# it hands over to PackagingDeb.cmake. See docs/windows.md.
#
#   cmake --build --preset windows-msvc-release
#   cpack --preset windows-msvc-nsis          -> Corvane Agent-<version>-win64.exe
#
# Layout of the installed folder (the agent looks for the tray program in
# agentcorvanegui\ beside itself when it asks for the uninstall PIN):
#   agentcorvane.exe, Qt5Core.dll, Qt5Network.dll, ...
#   agentcorvanegui\agentcorvanegui.exe, Qt5Widgets.dll, platforms\qwindows.dll, ...
include_guard(GLOBAL)

# Linux builds make a Debian package instead.
if(NOT WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/PackagingDeb.cmake)
    return()
endif()

option(CORVANE_DEPLOY_QT "Copy the Qt runtime next to the programs with windeployqt on install" ON)
set(CORVANE_OPENSSL_DLLS "" CACHE FILEPATH
    "OpenSSL 1.1 DLLs (libssl-1_1-x64.dll;libcrypto-1_1-x64.dll) for Qt's TLS backend, installed beside both programs")

set(corvane_agent_dir ".")
set(corvane_gui_dir "agentcorvanegui")

install(TARGETS agentcorvane RUNTIME DESTINATION ${corvane_agent_dir})
# The support client beside the agent: administrators script the agent with it.
if(TARGET corvanectl)
    install(TARGETS corvanectl RUNTIME DESTINATION ${corvane_agent_dir})
endif()
if(TARGET agentcorvanegui)
    # A tray program: no console window.
    set_target_properties(agentcorvanegui PROPERTIES WIN32_EXECUTABLE ON)
    install(TARGETS agentcorvanegui RUNTIME DESTINATION ${corvane_gui_dir})
endif()

# Each folder gets its own runtime: Windows looks for DLLs beside the program
# first, and the tray program's folder is not the agent's.
if(CORVANE_OPENSSL_DLLS)
    install(FILES ${CORVANE_OPENSSL_DLLS} DESTINATION ${corvane_agent_dir})
    install(FILES ${CORVANE_OPENSSL_DLLS} DESTINATION ${corvane_gui_dir})
endif()
if(MSVC)
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_LIBS_SKIP ON)
    include(InstallRequiredSystemLibraries)
    install(PROGRAMS ${CMAKE_INSTALL_SYSTEM_RUNTIME_LIBS} DESTINATION ${corvane_agent_dir})
    install(PROGRAMS ${CMAKE_INSTALL_SYSTEM_RUNTIME_LIBS} DESTINATION ${corvane_gui_dir})
endif()

if(CORVANE_DEPLOY_QT)
    get_target_property(corvane_qmake Qt5::qmake IMPORTED_LOCATION)
    get_filename_component(corvane_qt_bin "${corvane_qmake}" DIRECTORY)
    get_filename_component(corvane_qt_root "${corvane_qt_bin}" DIRECTORY)
    find_program(CORVANE_WINDEPLOYQT windeployqt HINTS "${corvane_qt_bin}" NO_DEFAULT_PATH)
    find_program(CORVANE_WINDEPLOYQT windeployqt)
endif()
if(CORVANE_DEPLOY_QT AND NOT CORVANE_WINDEPLOYQT AND MINGW)
    # No windeployqt (it belongs to Qt's tools module, which a qtbase-only
    # kit such as the cross toolchain lacks): lay the runtime out by name.
    # Qt's DLLs sit in its bin folder beside OpenSSL's (Qt links OpenSSL, so
    # QtNetwork needs them at load time) and MinGW's runtime.
    set(corvane_runtime_dlls libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    if(NOT CORVANE_OPENSSL_DLLS)
        foreach(dll libssl-3-x64.dll libcrypto-3-x64.dll)
            if(EXISTS "${corvane_qt_bin}/${dll}")
                install(FILES "${corvane_qt_bin}/${dll}" DESTINATION ${corvane_agent_dir})
                install(FILES "${corvane_qt_bin}/${dll}" DESTINATION ${corvane_gui_dir})
            endif()
        endforeach()
    endif()
    foreach(dll Qt5Core.dll Qt5Network.dll ${corvane_runtime_dlls})
        install(FILES "${corvane_qt_bin}/${dll}" DESTINATION ${corvane_agent_dir})
        install(FILES "${corvane_qt_bin}/${dll}" DESTINATION ${corvane_gui_dir})
    endforeach()
    # The tray program's window system, style, and the GIF animations.
    foreach(dll Qt5Gui.dll Qt5Widgets.dll)
        install(FILES "${corvane_qt_bin}/${dll}" DESTINATION ${corvane_gui_dir})
    endforeach()
    foreach(plugin platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qgif.dll
                   imageformats/qico.dll)
        get_filename_component(plugin_dir "${plugin}" DIRECTORY)
        install(FILES "${corvane_qt_root}/plugins/${plugin}" DESTINATION "${corvane_gui_dir}/${plugin_dir}")
    endforeach()
elseif(CORVANE_DEPLOY_QT)
    if(NOT CORVANE_WINDEPLOYQT)
        message(FATAL_ERROR "windeployqt not found beside ${corvane_qmake}; set CORVANE_WINDEPLOYQT "
                            "or configure with -DCORVANE_DEPLOY_QT=OFF")
    endif()
    # MinGW builds also need libstdc++, libgcc and winpthread beside each program.
    set(corvane_runtime_flag "")
    if(MINGW)
        set(corvane_runtime_flag "--compiler-runtime")
    endif()
    set(corvane_deploy_flags --no-translations --no-system-d3d-compiler --no-opengl-sw ${corvane_runtime_flag})
    install(CODE "
        set(corvane_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
        set(corvane_mode $<IF:$<CONFIG:Debug>,--debug,--release>)
        execute_process(COMMAND \"${CORVANE_WINDEPLOYQT}\" \${corvane_mode} ${corvane_deploy_flags}
                                \"\${corvane_root}/${corvane_agent_dir}/agentcorvane.exe\"
                        RESULT_VARIABLE corvane_result)
        if(NOT corvane_result EQUAL 0)
            message(FATAL_ERROR \"windeployqt failed for agentcorvane.exe: \${corvane_result}\")
        endif()
        if(EXISTS \"\${corvane_root}/${corvane_gui_dir}/agentcorvanegui.exe\")
            execute_process(COMMAND \"${CORVANE_WINDEPLOYQT}\" \${corvane_mode} ${corvane_deploy_flags}
                                    \"\${corvane_root}/${corvane_gui_dir}/agentcorvanegui.exe\"
                            RESULT_VARIABLE corvane_result)
            if(NOT corvane_result EQUAL 0)
                message(FATAL_ERROR \"windeployqt failed for agentcorvanegui.exe: \${corvane_result}\")
            endif()
        endif()
    ")
endif()

# The Windows Installer package, from the same install() rules.
include(${CMAKE_CURRENT_LIST_DIR}/PackagingMsi.cmake)

# ---------------------------------------------------------------- installer
set(CPACK_GENERATOR NSIS)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME "Corvane Agent")
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Corvane Agent: DNS filtering for this computer")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Corvane Agent")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Corvane Agent")
set(CPACK_NSIS_PACKAGE_NAME "Corvane Agent")
set(CPACK_NSIS_DISPLAY_NAME "Corvane Agent")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL OFF)
set(CPACK_NSIS_UNINSTALL_NAME "Uninstall")
set(CPACK_NSIS_MENU_LINKS [=[agentcorvanegui\agentcorvanegui.exe]=] "Corvane Agent")

# A 64-bit installer: the agent is a 64-bit service, and a 32-bit installer
# would see the redirected registry and system folder.
# "/AD" on the installer's command line registers the agent for Active
# Directory mode; by default it is registered with "noAd".
set(CPACK_NSIS_DEFINES [=[
  Target amd64-unicode
  !include "FileFunc.nsh"
  !include "LogicLib.nsh"
]=])

# A running agent holds its files: stop it before files are replaced (an
# upgrade); "net stop" waits until the service has stopped.
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS [=[
  nsExec::Exec '"$SYSDIR\net.exe" stop "Corvane Agent"'
  Pop $0
]=])

# "install" creates the service (an upgrade finds it and only reports that);
# the service manager starts it at every boot, and now.
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AD" $R1
  ${If} ${Errors}
    ExecWait '"$INSTDIR\agentcorvane.exe" install noAd' $0
  ${Else}
    ExecWait '"$INSTDIR\agentcorvane.exe" install' $0
  ${EndIf}
  nsExec::Exec '"$SYSDIR\net.exe" start "Corvane Agent"'
  Pop $0
]=])

# Removal asks for the PIN through the tray program ("checkuninst", exit 0 when
# allowed); then the agent is stopped, so it restores the interfaces' DNS
# values, and "uninstall" deletes the service, the certificates and renews
# the addresses. Files are removed after these commands.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  ExecWait '"$INSTDIR\agentcorvane.exe" checkuninst' $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "The PIN was not confirmed. Corvane Agent stays installed." /SD IDOK
    Abort
  ${EndIf}
  nsExec::Exec '"$SYSDIR\net.exe" stop "Corvane Agent"'
  Pop $0
  ExecWait '"$INSTDIR\agentcorvane.exe" uninstall' $0
]=])

include(CPack)
