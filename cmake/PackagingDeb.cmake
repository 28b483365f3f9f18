# Debian package (CPack DEB): the agent, the tray program, the support
# client, the systemd unit and the tray program's autostart entry. Included
# from cmake/Packaging.cmake on Linux.
#
#   cmake --build build --target agentcorvane agentcorvanegui corvanectl
#   (cd build && cpack -G DEB)      -> corvane-agent_<version>_<arch>.deb
#
# Layout (the agent looks for the tray program in agentcorvanegui/ beside
# itself and writes its log into log/ beside itself):
#   /usr/lib/corvane-agent/agentcorvane
#   /usr/lib/corvane-agent/agentcorvanegui/agentcorvanegui
#   /usr/lib/corvane-agent/log -> /var/log/corvane-agent
#   /usr/bin/agentcorvanegui -> ../lib/corvane-agent/agentcorvanegui/agentcorvanegui
#   /usr/bin/corvanectl
#   /lib/systemd/system/corvane-agent.service
#   /etc/xdg/autostart/corvane-agent-tray.desktop
# The maintainer scripts make /var/lib/corvane-agent (settings, 0700) and
# /var/log/corvane-agent, start the service on install, stop it on removal
# (the agent then gives the resolver configuration back) and remove both
# folders on purge.
include_guard(GLOBAL)

set(corvane_deb_dir "${PROJECT_SOURCE_DIR}/packaging/debian")
set(corvane_deb_lib "lib/corvane-agent")
set(corvane_deb_gen "${PROJECT_BINARY_DIR}/packaging")
set(corvane_deb_doc "share/doc/corvane-agent")

install(TARGETS agentcorvane RUNTIME DESTINATION ${corvane_deb_lib})
if(TARGET agentcorvanegui)
    install(TARGETS agentcorvanegui RUNTIME DESTINATION ${corvane_deb_lib}/agentcorvanegui)
endif()
if(TARGET corvanectl)
    install(TARGETS corvanectl RUNTIME DESTINATION bin)
endif()

# Hardened as Debian builds its packages: symbols bound at load time, so the
# relocation table can be read-only for the whole run.
foreach(program agentcorvane agentcorvanegui corvanectl)
    if(TARGET ${program})
        target_link_options(${program} PRIVATE "LINKER:-z,relro,-z,now")
    endif()
endforeach()
# Stripped as dh_strip does (CPack's own stripping keeps .comment).
if(CMAKE_STRIP)
    install(CODE "
        foreach(program ${corvane_deb_lib}/agentcorvane ${corvane_deb_lib}/agentcorvanegui/agentcorvanegui
                        bin/corvanectl)
            set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\")
            if(EXISTS \"\${path}\" AND NOT IS_SYMLINK \"\${path}\")
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
                                        --remove-section=.note \"\${path}\")
            endif()
        endforeach()")
endif()

# Links and compressed documents are made at configure time in the build
# folder and installed as they are.
file(MAKE_DIRECTORY "${corvane_deb_gen}/links" "${corvane_deb_gen}/doc")
file(CREATE_LINK /var/log/corvane-agent "${corvane_deb_gen}/links/log" SYMBOLIC)
file(CREATE_LINK ../lib/corvane-agent/agentcorvanegui/agentcorvanegui "${corvane_deb_gen}/links/agentcorvanegui"
     SYMBOLIC)
install(FILES "${corvane_deb_gen}/links/log" DESTINATION ${corvane_deb_lib})
if(TARGET agentcorvanegui)
    install(FILES "${corvane_deb_gen}/links/agentcorvanegui" DESTINATION bin)
endif()

set(corvane_deb_pages agentcorvane.8 agentcorvanegui.1 corvanectl.1 changelog)
foreach(page ${corvane_deb_pages})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${corvane_deb_dir}/${page}")
    execute_process(COMMAND gzip -9nc "${corvane_deb_dir}/${page}"
                    OUTPUT_FILE "${corvane_deb_gen}/doc/${page}.gz" RESULT_VARIABLE corvane_gzip)
    if(NOT corvane_gzip EQUAL 0)
        message(FATAL_ERROR "gzip ${page} failed")
    endif()
endforeach()
install(FILES "${corvane_deb_gen}/doc/agentcorvane.8.gz" DESTINATION share/man/man8)
install(FILES "${corvane_deb_gen}/doc/agentcorvanegui.1.gz" "${corvane_deb_gen}/doc/corvanectl.1.gz"
        DESTINATION share/man/man1)
install(FILES "${corvane_deb_gen}/doc/changelog.gz" DESTINATION ${corvane_deb_doc})
install(FILES "${corvane_deb_dir}/copyright" DESTINATION ${corvane_deb_doc})
install(FILES "${corvane_deb_dir}/corvane-agent.service" DESTINATION /lib/systemd/system)
install(FILES "${corvane_deb_dir}/corvane-agent-tray.desktop" DESTINATION /etc/xdg/autostart)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane-agent)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Corvane <agent@corvane.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvane.example/agent")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DNS filtering agent for this computer")
set(CPACK_PACKAGE_DESCRIPTION
    "Corvane Agent points the system resolver at a local DNS relay that applies the\n"
    "filtering policy of a Corvane account, and gives the previous resolver\n"
    "configuration back when it stops. The package holds the agent (a systemd\n"
    "service), its tray program and a command-line client.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${corvane_deb_dir}/postinst;${corvane_deb_dir}/prerm;${corvane_deb_dir}/postrm;${corvane_deb_dir}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
