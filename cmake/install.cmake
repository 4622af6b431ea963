include(CMakePackageConfigHelpers)

install(TARGETS imgnorm EXPORT imgnormTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Exactly the public API; the other headers of these folders are the
# library's own.
set(IMGNORM_PUBLIC_HEADERS
  host/archive.h host/assert.h host/attention.h host/diag.h host/exceptions.h host/export.h
  host/geometry.h host/pel_buffer.h host/str.h host/xform.h
  imaging/affine_sample.h imaging/gauss_sample.h imaging/histo_stats.h imaging/ilimit.h
  imaging/line_fit.h imaging/median.h imaging/pel_copy.h imaging/pel_equal.h
  imaging/pel_histogram.h imaging/pel_map.h imaging/pel_max.h imaging/pel_min.h
  imaging/pel_set.h imaging/projection.h imaging/threshold_wgv.h
  pelfuncs/adjust_window.h pelfuncs/buffer_compare.h pelfuncs/clamped_arithmetic.h
  pelfuncs/flood_fill.h pelfuncs/mask_runs.h pelfuncs/masked_copy_divide.h pelfuncs/masked_histogram.h
  pelfuncs/padded_affine_sample.h pelfuncs/pel_map_value.h pelfuncs/smooth_morph.h
  pelfuncs/threshold.h
  imgnorm/color_normalizer.h imgnorm/diag_categories.h imgnorm/errors.h imgnorm/explain.h
  imgnorm/image_normalizer.h imgnorm/method.h imgnorm/persistence.h imgnorm/run_parallel.h)
foreach(header ${IMGNORM_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imgnorm/${folder})
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
