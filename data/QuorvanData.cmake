# What an installation puts where Linux looks for it besides the programs:
# manual pages, shell completion, and for the desktop program a desktop entry
# (also the handler of ftp:// and ftps:// links), AppStream metadata and the
# icon. Included from the top-level CMakeLists.txt after the targets.

set(QUORVAN_APP_ID org.quorvan.QuorvanFTP)
set(QUORVAN_HOMEPAGE "https://quorvan.example.org" CACHE STRING
  "The project's web page, named in the AppStream metadata (its screenshot lives below it)")
set(QUORVAN_DATA ${CMAKE_CURRENT_SOURCE_DIR}/data)

install(FILES ${QUORVAN_DATA}/man/qvftp.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUORVAN_DATA}/completion/qvftp
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

if(TARGET quorvan_app)
  # The icon is drawn once, as SVG; the sizes desktops ask for are rendered
  # from it at build time, and the window shows the same pictures.
  find_program(RSVG_CONVERT rsvg-convert)
  if(NOT RSVG_CONVERT)
    message(FATAL_ERROR "rsvg-convert not found (Debian librsvg2-bin): run scripts/setup.sh")
  endif()
  set(svg ${QUORVAN_DATA}/icons/quorvan-ftp.svg)
  set(pngs)
  foreach(size 16 32 48 64 128 256)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/apps)
    add_custom_command(OUTPUT ${dir}/quorvan-ftp.png
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${dir}/quorvan-ftp.png ${svg}
      DEPENDS ${svg} VERBATIM)
    list(APPEND pngs ${dir}/quorvan-ftp.png)
    install(FILES ${dir}/quorvan-ftp.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  qt_add_resources(quorvan_app quorvan_icons PREFIX /icons
    BASE ${CMAKE_CURRENT_BINARY_DIR}/icons FILES ${pngs})
  install(FILES ${svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  configure_file(${QUORVAN_DATA}/${QUORVAN_APP_ID}.metainfo.xml
    ${CMAKE_CURRENT_BINARY_DIR}/${QUORVAN_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${QUORVAN_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${QUORVAN_DATA}/${QUORVAN_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${QUORVAN_DATA}/man/quorvan-ftp.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
