# The language files and help pages. They are copied beside the built executable, where the
# program looks first, so a build tree runs as it is; installed, they go to
# share/kalvento/{Languages,Helps}.
file(GLOB _kalvento_resources CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
     ${PROJECT_SOURCE_DIR}/Languages/* ${PROJECT_SOURCE_DIR}/Helps/*)
set(_kalvento_resource_outputs)
foreach(_file IN LISTS _kalvento_resources)
  get_filename_component(_dir ${CMAKE_BINARY_DIR}/${_file} DIRECTORY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${_file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${PROJECT_SOURCE_DIR}/${_file}
            ${CMAKE_BINARY_DIR}/${_file}
    DEPENDS ${PROJECT_SOURCE_DIR}/${_file}
    VERBATIM)
  list(APPEND _kalvento_resource_outputs ${CMAKE_BINARY_DIR}/${_file})
endforeach()
add_custom_target(kalvento_resources ALL DEPENDS ${_kalvento_resource_outputs})
add_dependencies(kalvento kalvento_resources)

include(GNUInstallDirs)
install(TARGETS kalvento RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/Languages ${PROJECT_SOURCE_DIR}/Helps
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvento)

# The manual page and the package's change log, compressed as Debian's policy wants them
# (-n: no name or time stamp inside, so the same sources give the same bytes).
find_program(KALVENTO_GZIP gzip REQUIRED)
set(_kalvento_compressed)
foreach(_pair "kalvento.1|kalvento.1.gz" "debian/changelog|changelog.gz")
  string(REPLACE "|" ";" _pair ${_pair})
  list(GET _pair 0 _source)
  list(GET _pair 1 _target)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/data/${_target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/data
    COMMAND ${KALVENTO_GZIP} -9nc ${PROJECT_SOURCE_DIR}/data/${_source}
            > ${CMAKE_BINARY_DIR}/data/${_target}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/${_source})
  list(APPEND _kalvento_compressed ${CMAKE_BINARY_DIR}/data/${_target})
endforeach()
add_custom_target(kalvento_compressed_docs ALL DEPENDS ${_kalvento_compressed})

# The desktop's menu entry, the icon theme's icons, the software centres' description and
# the manual page.
install(FILES ${PROJECT_SOURCE_DIR}/data/kalvento.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/kalvento.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/example.fennrake.Kalvento.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/data/kalvento.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/data/changelog.gz ${PROJECT_SOURCE_DIR}/data/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kalvento)
