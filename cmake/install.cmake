include(CMakePackageConfigHelpers)

# Components: library (the shared library), development (headers, the
# link-time name, the CMake and pkg-config files), program and python, one
# Debian package each.
install(TARGETS imgnorm EXPORT imgnormTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
# The public API is every header of the four library folders; the
# library's own headers live in their detail/ subfolders and are never
# installed.
file(GLOB IMGNORM_PUBLIC_HEADERS RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/host/*.h ${PROJECT_SOURCE_DIR}/imaging/*.h
  ${PROJECT_SOURCE_DIR}/pelfuncs/*.h ${PROJECT_SOURCE_DIR}/imgnorm/*.h)
foreach(header ${IMGNORM_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imgnorm/${folder} COMPONENT development)
endforeach()
install(EXPORT imgnormTargets NAMESPACE imgnorm::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/imgnormConfig.cmake.in
  ${PROJECT_BINARY_DIR}/imgnormConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/imgnormConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/imgnormConfig.cmake ${PROJECT_BINARY_DIR}/imgnormConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/imgnorm COMPONENT development)
configure_file(${PROJECT_SOURCE_DIR}/cmake/imgnorm.pc.in ${PROJECT_BINARY_DIR}/imgnorm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/imgnorm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
