# cmake -DDIR=<application directory>/pypy/bin -P pypy-windows.cmake
# PyPy's release archives for Windows name their program pypy.exe, pypy3.exe or both; the program
# starts pypy.exe.
if(NOT EXISTS ${DIR}/pypy.exe)
    if(NOT EXISTS ${DIR}/pypy3.exe)
        message(FATAL_ERROR "OXBELL_WINDOWS_PYPY_DIR holds neither pypy.exe nor pypy3.exe: it must name "
                            "the unpacked folder of a PyPy release for Windows.")
    endif()
    file(COPY_FILE ${DIR}/pypy3.exe ${DIR}/pypy.exe)
endif()
