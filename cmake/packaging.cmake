# Desktop integration, the practice server's service files, and the Debian packages made by CPack:
# "oxbell" (component client) and "oxbell-server" (component server).
set(packaging_source ${CMAKE_SOURCE_DIR}/packaging)
set(packaging_build ${CMAKE_BINARY_DIR}/packaging)

# The command on the PATH: a relative link into the application directory, where the program finds
# its interpreter, module and CA file beside the link's target.
file(RELATIVE_PATH command_target /${CMAKE_INSTALL_BINDIR} /${OXBELL_INSTALL_APPDIR}/oxbell)
file(MAKE_DIRECTORY ${packaging_build})
file(CREATE_LINK ${command_target} ${packaging_build}/oxbell SYMBOLIC)
install(FILES ${packaging_build}/oxbell DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)

configure_file(${packaging_source}/oxbell.desktop.in ${packaging_build}/${OXBELL_APP_ID}.desktop @ONLY)
string(TIMESTAMP OXBELL_RELEASE_DATE "%Y-%m-%d" UTC)
# The developer in the form the release's AppStream reads: 1.0 (Debian 13) deprecates the
# <developer_name> that 0.16 (Debian 12) knows alone.
find_program(APPSTREAMCLI_COMMAND appstreamcli)
set(appstream_version 1.0)
if(APPSTREAMCLI_COMMAND)
    execute_process(COMMAND ${APPSTREAMCLI_COMMAND} --version OUTPUT_VARIABLE appstream_output ERROR_QUIET)
    string(REGEX MATCH "[0-9]+\\.[0-9.]+" appstream_version "${appstream_output}")
endif()
set(developer "Oxbell maintainers")
if(appstream_version VERSION_LESS 1.0)
    set(OXBELL_METAINFO_DEVELOPER "<developer_name>${developer}</developer_name>")
else()
    set(OXBELL_METAINFO_DEVELOPER "<developer id=\"invalid.oxbell\">\n    <name>${developer}</name>\n  </developer>")
endif()
configure_file(${packaging_source}/oxbell.metainfo.xml.in ${packaging_build}/${OXBELL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${packaging_build}/${OXBELL_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
install(FILES ${packaging_build}/${OXBELL_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)

# Menus take a bitmap of the size they draw when there is one.
find_program(RSVG_CONVERT_COMMAND rsvg-convert)
if(NOT RSVG_CONVERT_COMMAND)
    message(FATAL_ERROR "rsvg-convert was not found: it draws the menu icons. "
                        "Install it with tools/install-deps.sh (Debian package librsvg2-bin).")
endif()
set(icon_svg ${packaging_source}/oxbell.svg)
set(icon_dir ${packaging_build}/hicolor)
set(icon_files)
foreach(size 16 24 32 48 64 128 256)
    set(icon ${icon_dir}/${size}x${size}/apps/${OXBELL_APP_ID}.png)
    add_custom_command(
        OUTPUT ${icon}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}/${size}x${size}/apps
        COMMAND ${RSVG_CONVERT_COMMAND} --width ${size} --height ${size} --output ${icon} ${icon_svg}
        DEPENDS ${icon_svg}
        VERBATIM)
    list(APPEND icon_files ${icon})
endforeach()
add_custom_target(oxbell_icons ALL DEPENDS ${icon_files})
install(DIRECTORY ${icon_dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor COMPONENT client)
install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${OXBELL_APP_ID}.svg COMPONENT client)

# The service unit names installed paths, known only when installing (the package's prefix is
# /usr, a developer's may be another), the keys among them in the matching configuration folder.
install(CODE "
    set(oxbell_unit_template \"${packaging_source}/oxbell-server.service.in\")
    set(oxbell_unit \"${packaging_build}/oxbell-server.service\")
    set(oxbell_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(oxbell_datadir \"${CMAKE_INSTALL_DATADIR}\")
    set(port \"${OXBELL_PRACTICE_PORT}\")"
    COMPONENT server)
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/installserver.cmake COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oxbell)
set(CPACK_PACKAGE_VENDOR "Oxbell")
set(CPACK_PACKAGE_CONTACT "Oxbell maintainers <maintainers@oxbell.invalid>")
# Each package's description starts with a summary line of its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION education)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME oxbell)
# Neither is linked: the interpreter runs the scripts, and libqt5gui5 carries the xcb platform plugin.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "pypy3, libqt5gui5 | libqt5gui5-gles")
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA ${packaging_source}/debian/oxbell/prerm)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "Desktop client for a course-grading service
Oxbell logs a student in to their course server, shows the course catalogue with due dates,
attempts and grades, runs a problem's init or grading script in PyPy against the student's own
practice servers and posts the result.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME oxbell-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${packaging_source}/debian/oxbell-server/postinst
    ${packaging_source}/debian/oxbell-server/prerm ${packaging_source}/debian/oxbell-server/postrm)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Practice course server for Oxbell
An HTTPS course server speaking the Oxbell client's protocol, with a demo course, for course
staff to try problems before they publish them. The systemd unit oxbell-server.service runs it
as the system user oxbell-server with its database under /var/lib/oxbell-server. Installing
makes this machine's TLS certificates and session key in /etc/oxbell-server.")

include(CPack)
