# Installs the practice server's unit under the prefix of this installation; included by the install
# script of component server, after the oxbell_* variables are set. No key is installed: each
# machine makes its own (the package's postinst runs "oxbell-server make-keys").
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(confdir /etc/oxbell-server)
else()
    set(confdir ${CMAKE_INSTALL_PREFIX}/etc/oxbell-server)
endif()
set(bindir ${CMAKE_INSTALL_PREFIX}/${oxbell_bindir})
set(coursedir ${CMAKE_INSTALL_PREFIX}/${oxbell_datadir}/oxbell-server/courses/demo)
configure_file(${oxbell_unit_template} ${oxbell_unit} @ONLY)
file(INSTALL ${oxbell_unit} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
