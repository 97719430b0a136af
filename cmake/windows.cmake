# What a Windows user expects of the .exe files: window programs that open no
# console (the GUI subsystem), and in Explorer's properties and the taskbar
# each program's version, description and icon. Nothing here applies to
# other systems. The icons are drawn from apps/share/<name>.svg at build time
# with rsvg-convert (librsvg2-bin) and packed with icotool (icoutils).
if(WIN32)
    enable_language(RC)
    find_program(POLL_RSVG_CONVERT rsvg-convert)
    find_program(POLL_ICOTOOL icotool)
    if(NOT POLL_RSVG_CONVERT OR NOT POLL_ICOTOOL)
        message(WARNING "rsvg-convert or icotool not found: the programs get no icon")
    endif()
    # "Copyright (c) 2026 The polltools developers": the copyright, and the
    # publisher named in the version resources and the installed apps.
    file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE POLL_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
    string(REGEX REPLACE "^Copyright \\(c\\) [0-9, -]+ " "" POLL_PUBLISHER "${POLL_COPYRIGHT}")
    # Windows wants four numbers: 0.1 is 0.1.0.0.
    foreach(part MAJOR MINOR PATCH TWEAK)
        set(POLL_RC_${part} ${PROJECT_VERSION_${part}})
        if("${POLL_RC_${part}}" STREQUAL "")
            set(POLL_RC_${part} 0)
        endif()
    endforeach()
endif()

# Gives `target` a version resource: the project's version, `description`
# (Explorer's "File description", Task Manager's name for the process) and
# the copyright line of LICENSE; and, where `svg` names a drawing, an icon made
# from it in the sizes Windows picks from (16 px in a title bar to 256 px in a
# large icon view), which is also the icon of the program's windows: Qt gives
# its windows the resource named IDI_ICON1.
function(poll_windows_resources target description svg)
    if(NOT WIN32)
        return()
    endif()
    set(POLL_RC_NAME ${target})
    set(POLL_RC_DESCRIPTION "${description}")
    set(POLL_RC_ICON "")
    if(svg AND POLL_RSVG_CONVERT AND POLL_ICOTOOL)
        set(dir ${CMAKE_CURRENT_BINARY_DIR}/icons/${target})
        set(ico ${CMAKE_CURRENT_BINARY_DIR}/icons/${target}.ico)
        set(draw)
        set(images)
        foreach(size 16 24 32 48 64 128 256)
            list(APPEND draw COMMAND ${POLL_RSVG_CONVERT} -w ${size} -h ${size} -o ${dir}/${size}.png ${svg})
            if(size EQUAL 256)
                list(APPEND images --raw=${dir}/${size}.png) # kept as PNG, as Windows stores its large icons
            else()
                list(APPEND images ${dir}/${size}.png)
            endif()
        endforeach()
        add_custom_command(OUTPUT ${ico}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
            ${draw}
            COMMAND ${POLL_ICOTOOL} -c -o ${ico} ${images}
            DEPENDS ${svg}
            COMMENT "Drawing the icon of ${target}"
            VERBATIM)
        set(POLL_RC_ICON "IDI_ICON1 ICON \"${ico}\"")
        target_sources(${target} PRIVATE ${ico})
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    if(POLL_RC_ICON)
        set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ico})
    endif()
endfunction()

# The window programs: no console, each with its icon and the Comment of its
# desktop entry as description. Writes for scripts/windows.sh, into the build
# folder, windows/window-programs.txt with their names, and the installer's
# script windows/installer.nsi, with a Start-menu shortcut for each.
function(poll_windows_programs)
    if(NOT WIN32)
        return()
    endif()
    set(POLL_NSIS_WINDOW_PROGRAMS "")
    set(names "")
    foreach(name IN LISTS ARGN)
        set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
        set(desktop ${CMAKE_CURRENT_SOURCE_DIR}/share/${name}.desktop)
        file(STRINGS ${desktop} comment REGEX "^Comment=" LIMIT_COUNT 1)
        string(REPLACE "Comment=" "" comment "${comment}")
        poll_windows_resources(${name} "${comment}" ${CMAKE_CURRENT_SOURCE_DIR}/share/${name}.svg)
        string(APPEND POLL_NSIS_WINDOW_PROGRAMS "  !insertmacro \${ACTION} \"${name}\" \"${comment}\"\n")
        string(APPEND names "${name}\n")
    endforeach()
    file(WRITE ${PROJECT_BINARY_DIR}/windows/window-programs.txt "${names}")
    # The installer and its entry in the installed apps show the first one's icon.
    list(GET ARGN 0 first)
    set(POLL_INSTALLER_ICON_PROGRAM ${first})
    set(POLL_INSTALLER_ICON ${CMAKE_CURRENT_BINARY_DIR}/icons/${first}.ico)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi.in
                   ${PROJECT_BINARY_DIR}/windows/installer.nsi @ONLY)
endfunction()
