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
# The desktop's menu entry and the manual page.
install(FILES ${PROJECT_SOURCE_DIR}/data/kalvento.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/kalvento.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
