# Embeds the chosen Breeze icons (16 and 32 px designs) into the binary as a
# Qt resource, generated at configure time from the installed theme, so the
# application looks the same on every desktop. The theme's licence notice
# travels with the icons (":/icons/COPYING.breeze").
#
# ORVEXA_ICONS: the icon names the application uses.
set(ORVEXA_BREEZE_DIR "/usr/share/icons/breeze" CACHE PATH "Installed Breeze icon theme")
set(ORVEXA_ICONS
  list-add list-remove document-import document-export edit-clear-list
  document-open document-edit edit-delete go-up go-down
  media-playback-start media-playback-stop configure
  document-export-table document-save-as document-save-all
  help-contents help-about edit-copy
  server-database text-x-sql
  dialog-ok-apply dialog-error dialog-warning process-stop
  network-server-database)

function(orvexa_find_breeze_icon out name size)
  # The exact size first, then the nearest larger design, then any.
  foreach(s ${size} 22 32 48 64 16)
    file(GLOB hits "${ORVEXA_BREEZE_DIR}/actions/${s}/${name}.svg"
                   "${ORVEXA_BREEZE_DIR}/*/${s}/${name}.svg")
    if(hits)
      list(GET hits 0 hit)
      file(REAL_PATH "${hit}" real)
      set(${out} "${real}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

function(orvexa_add_breeze_icons target)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/icons")
  file(MAKE_DIRECTORY "${dir}/16" "${dir}/32")
  set(files)
  foreach(name ${ORVEXA_ICONS})
    foreach(size 16 32)
      orvexa_find_breeze_icon(src ${name} ${size})
      if(NOT src)
        message(FATAL_ERROR "Breeze icon ${name} not found under ${ORVEXA_BREEZE_DIR} (install breeze-icon-theme)")
      endif()
      configure_file("${src}" "${dir}/${size}/${name}.svg" COPYONLY)
      list(APPEND files "${dir}/${size}/${name}.svg")
    endforeach()
  endforeach()
  set(copying "/usr/share/doc/breeze-icon-theme/copyright")
  if(EXISTS "${copying}")
    configure_file("${copying}" "${dir}/COPYING.breeze" COPYONLY)
  else()
    file(WRITE "${dir}/COPYING.breeze" "Breeze icon theme, KDE, GNU LGPL 3 or later.\n")
  endif()
  list(APPEND files "${dir}/COPYING.breeze")
  qt_add_resources(${target} orvexa_icons PREFIX "/icons" BASE "${dir}" FILES ${files})
endfunction()
