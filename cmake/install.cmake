include(CMakePackageConfigHelpers)

install(TARGETS imgnorm EXPORT imgnormTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir host pelfuncs imgnorm)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imgnorm
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT imgnormTargets NAMESPACE imgnorm::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/imgnormConfig.cmake.in
  ${PROJECT_BINARY_DIR}/imgnormConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/imgnormConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/imgnormConfig.cmake ${PROJECT_BINARY_DIR}/imgnormConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm)
configure_file(${PROJECT_SOURCE_DIR}/cmake/imgnorm.pc.in ${PROJECT_BINARY_DIR}/imgnorm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/imgnorm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
