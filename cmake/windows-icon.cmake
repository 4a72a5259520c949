# The program's icon for Windows: packaging/oxbell.svg drawn at the sizes Windows picks from, in one
# .ico that the executable carries (Qt gives its windows the resource IDI_ICON1) and the installer
# shows.
find_program(RSVG_CONVERT_COMMAND rsvg-convert)
find_program(ICOTOOL_COMMAND icotool)
if(NOT RSVG_CONVERT_COMMAND OR NOT ICOTOOL_COMMAND)
    message(FATAL_ERROR "rsvg-convert and icotool draw the Windows icon. "
                        "Install them with tools/install-deps.sh windows (librsvg2-bin, icoutils).")
endif()
set(icon_dir ${CMAKE_BINARY_DIR}/windows-icon)
set(OXBELL_WINDOWS_ICON ${icon_dir}/oxbell.ico)
set(icon_source ${CMAKE_SOURCE_DIR}/packaging/oxbell.svg)
set(icon_pngs)
foreach(size 16 24 32 48 64 256)
    set(png ${icon_dir}/oxbell-${size}.png)
    add_custom_command(
        OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}
        COMMAND ${RSVG_CONVERT_COMMAND} --width ${size} --height ${size} --output ${png} ${icon_source}
        DEPENDS ${icon_source}
        VERBATIM)
    list(APPEND icon_pngs ${png})
endforeach()
add_custom_command(
    OUTPUT ${OXBELL_WINDOWS_ICON}
    COMMAND ${ICOTOOL_COMMAND} --create --output ${OXBELL_WINDOWS_ICON} ${icon_pngs}
    DEPENDS ${icon_pngs}
    VERBATIM)
add_custom_target(oxbell_windows_icon DEPENDS ${OXBELL_WINDOWS_ICON})

set(OXBELL_WINDOWS_RC ${icon_dir}/oxbell.rc)
file(CONFIGURE OUTPUT ${OXBELL_WINDOWS_RC} CONTENT "IDI_ICON1 ICON \"${OXBELL_WINDOWS_ICON}\"\n")
