# Practice server PKI and the client's built-in server key, both generated at build time
# into the build tree (private keys are never part of the source tree).
set(OXBELL_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(OXBELL_PKI_FILES
    ${OXBELL_PKI_DIR}/root.pem
    ${OXBELL_PKI_DIR}/intermediate.pem
    ${OXBELL_PKI_DIR}/chain.pem
    ${OXBELL_PKI_DIR}/leaf.key
    ${OXBELL_PKI_DIR}/other-chain.pem
    ${OXBELL_PKI_DIR}/other-leaf.key
    ${OXBELL_PKI_DIR}/wronghost-chain.pem
    ${OXBELL_PKI_DIR}/wronghost.key
    ${OXBELL_PKI_DIR}/outside-chain.pem
    ${OXBELL_PKI_DIR}/outside.key
    ${OXBELL_PKI_DIR}/session-private.pem
    ${OXBELL_PKI_DIR}/session-public.pem)
# The script keeps what its stamp says it made; as an output, the stamp goes with a clean too.
add_custom_command(
    OUTPUT ${OXBELL_PKI_FILES} ${OXBELL_PKI_DIR}/done.stamp
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/gen-pki.sh ${OXBELL_PKI_DIR}
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen-pki.sh
    COMMENT "Generating the practice server's certificates and keys"
    VERBATIM)

# The client trusts one server: the one named by the two trust options, else this build's practice server.
if(OXBELL_SERVER_KEY_PEM)
    set(server_key_pem ${OXBELL_SERVER_KEY_PEM})
    set(server_ca_pem ${OXBELL_SERVER_CA_PEM})
else()
    set(server_key_pem ${OXBELL_PKI_DIR}/session-public.pem)
    set(server_ca_pem ${OXBELL_PKI_DIR}/intermediate.pem)
endif()
set(OXBELL_CA_FILE ${OXBELL_APP_DIR}/certs/GandiStandardSSLCA.pem)
add_custom_command(
    OUTPUT ${OXBELL_CA_FILE}
    COMMAND ${CMAKE_COMMAND} -E copy ${server_ca_pem} ${OXBELL_CA_FILE}
    DEPENDS ${server_ca_pem}
    VERBATIM)

set(OXBELL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
    OUTPUT ${OXBELL_GENERATED_DIR}/serverkey.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OXBELL_GENERATED_DIR}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/embed-key.sh ${server_key_pem} ${OXBELL_GENERATED_DIR}/serverkey.h
    DEPENDS ${server_key_pem} ${CMAKE_SOURCE_DIR}/tools/embed-key.sh
    COMMENT "Embedding the course server's public key"
    VERBATIM)

add_custom_target(oxbell_pki ALL DEPENDS ${OXBELL_PKI_FILES} ${OXBELL_CA_FILE})
add_custom_target(oxbell_server_key DEPENDS ${OXBELL_GENERATED_DIR}/serverkey.h)
# Unix Makefiles run a custom command once in every target that needs its output: the key must
# wait for the PKI target rather than generate the PKI a second time beside it.
add_dependencies(oxbell_server_key oxbell_pki)

# The interpreter the scripts run in, where the program looks for it. For Windows, a PyPy for
# Windows unpacked whole beside pypy/bin/pypy.exe, which finds its library beside itself; "pypy"
# starts it there, as Windows completes the name.
if(WIN32)
    set(pypy_dir ${OXBELL_APP_DIR}/pypy)
    if(OXBELL_WINDOWS_PYPY_DIR)
        set(pypy_stamp ${pypy_dir}/copied.stamp)
        file(GLOB_RECURSE pypy_files CONFIGURE_DEPENDS ${OXBELL_WINDOWS_PYPY_DIR}/*)
        add_custom_command(
            OUTPUT ${pypy_stamp}
            COMMAND ${CMAKE_COMMAND} -E rm -rf ${pypy_dir}
            COMMAND ${CMAKE_COMMAND} -E copy_directory ${OXBELL_WINDOWS_PYPY_DIR} ${pypy_dir}/bin
            COMMAND ${CMAKE_COMMAND} -DDIR=${pypy_dir}/bin -P ${CMAKE_SOURCE_DIR}/cmake/pypy-windows.cmake
            COMMAND ${CMAKE_COMMAND} -E touch ${pypy_stamp}
            DEPENDS ${pypy_files} ${CMAKE_SOURCE_DIR}/cmake/pypy-windows.cmake
            COMMENT "Copying PyPy for Windows into the application directory"
            VERBATIM)
        add_custom_target(oxbell_pypy ALL DEPENDS ${pypy_stamp})
    else()
        # None given: the installer holds none, and the set-up check (-doctor) names it missing.
        add_custom_target(oxbell_pypy)
    endif()
else()
    add_custom_command(
        OUTPUT ${OXBELL_APP_DIR}/pypy/bin/pypy
        COMMAND ${CMAKE_COMMAND} -E make_directory ${OXBELL_APP_DIR}/pypy/bin
        COMMAND ${CMAKE_COMMAND} -E create_symlink ${PYPY3_COMMAND} ${OXBELL_APP_DIR}/pypy/bin/pypy
        VERBATIM)
    add_custom_target(oxbell_pypy ALL DEPENDS ${OXBELL_APP_DIR}/pypy/bin/pypy)
endif()
