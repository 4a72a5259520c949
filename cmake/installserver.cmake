# Installs the practice server's unit and keys under the prefix of this installation; included by
# the install script of component server, after the oxbell_* variables are set.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(confdir /etc/oxbell-server)
else()
    set(confdir ${CMAKE_INSTALL_PREFIX}/etc/oxbell-server)
endif()
set(bindir ${CMAKE_INSTALL_PREFIX}/${oxbell_bindir})
set(coursedir ${CMAKE_INSTALL_PREFIX}/${oxbell_datadir}/oxbell-server/courses/demo)
configure_file(${oxbell_unit_template} ${oxbell_unit} @ONLY)
file(INSTALL ${oxbell_unit} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
file(INSTALL ${oxbell_pki_dir}/chain.pem DESTINATION ${confdir})
file(INSTALL ${oxbell_pki_dir}/leaf.key ${oxbell_pki_dir}/session-private.pem DESTINATION ${confdir}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
