# Desktop integration of tolvane-ftp: the desktop entry and the program icon
# (SVG and PNGs of the hicolor sizes), and the install rules that put the
# program, the entry and the icons where a Linux desktop looks for them.
#
# The icon files are made at build time by tolvane-export-icons from the very
# drawing the program uses for its window and About box, so the desktop icon
# can never drift from it and no generated images are kept in the repository.

include(GNUInstallDirs)

set(TOLVANE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(TOLVANE_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/data)
set(TOLVANE_ICON_OUT ${PROJECT_BINARY_DIR}/icons/hicolor)

add_executable(tolvane-export-icons ${TOLVANE_DESKTOP_DIR}/export_icons.cpp)
target_link_libraries(tolvane-export-icons PRIVATE tolvane_app)

set(_tolvane_icon_files ${TOLVANE_ICON_OUT}/scalable/apps/tolvane-ftp.svg)
foreach(size IN LISTS TOLVANE_ICON_SIZES)
  list(APPEND _tolvane_icon_files ${TOLVANE_ICON_OUT}/${size}x${size}/apps/tolvane-ftp.png)
endforeach()

# Leak reports of a sanitizer build concern the tests, not this one-shot tool.
add_custom_command(
  OUTPUT ${_tolvane_icon_files}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:tolvane-export-icons> ${TOLVANE_ICON_OUT}
  DEPENDS tolvane-export-icons
  COMMENT "Drawing the program icon files"
  VERBATIM)
add_custom_target(tolvane_desktop_files ALL DEPENDS ${_tolvane_icon_files})

if(TARGET tolvane-ftp)
  install(TARGETS tolvane-ftp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
endif()
install(FILES ${TOLVANE_DESKTOP_DIR}/tolvane-ftp.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
install(FILES ${TOLVANE_ICON_OUT}/scalable/apps/tolvane-ftp.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)
foreach(size IN LISTS TOLVANE_ICON_SIZES)
  install(FILES ${TOLVANE_ICON_OUT}/${size}x${size}/apps/tolvane-ftp.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT desktop)
endforeach()
