# The Windows installer, made by NSIS from the application directory:
#   cmake --build build-windows --target installer
# writes build-windows/packages/oxbell-<version>-windows-x64-setup.exe.
find_program(MAKENSIS_COMMAND makensis)
if(NOT MAKENSIS_COMMAND)
    message(FATAL_ERROR "makensis was not found: it makes the Windows installer. "
                        "Install it with tools/install-deps.sh windows (Debian package nsis).")
endif()
set(OXBELL_PACKAGE_DIR ${CMAKE_BINARY_DIR}/packages)
set(installer ${OXBELL_PACKAGE_DIR}/oxbell-${PROJECT_VERSION}-windows-x64-setup.exe)
set(nsis_defines
    -DVERSION=${PROJECT_VERSION}
    -DAPPDIR=${OXBELL_APP_DIR}
    -DICON=${OXBELL_WINDOWS_ICON}
    -DOUTFILE=${installer})
if(OXBELL_WINDOWS_PYPY_DIR)
    list(APPEND nsis_defines -DPYPY)
endif()
# Made every time it is asked for: it takes its files from targets of other directories.
add_custom_target(installer
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OXBELL_PACKAGE_DIR}
    COMMAND ${MAKENSIS_COMMAND} -V2 ${nsis_defines} ${CMAKE_SOURCE_DIR}/packaging/windows/oxbell.nsi
    COMMENT "Making the Windows installer ${installer}"
    VERBATIM)
add_dependencies(installer oxbell oxbell_pki oxbell_python oxbell_pypy oxbell_windows_icon)
