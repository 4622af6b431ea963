# Debian packages, made by `cpack -G DEB` in a build configured with
# IMGNORM_DEBIAN_PACKAGES=ON (scripts/package.sh): the shared library, its
# development files, the program with its manual page, and the Python module
# for Debian's python3.
option(IMGNORM_DEBIAN_PACKAGES "Lay the install out for Debian packages" OFF)
if(NOT IMGNORM_DEBIAN_PACKAGES)
  return()
endif()

set(deb_release 1)
set(deb_version ${PROJECT_VERSION}-${deb_release})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME imgnorm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "imgnorm developers <imgnorm@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development program python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${deb_release})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE_URL "https://example.org/imgnorm")
# Dependencies come from what the binaries link; the program finds this
# project's own library in the build tree and depends on its package below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libimgnorm${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
  "gray-level normalization of images against a trained reference\n"
  "A tool is trained on a reference image and an optional mask, then run on\n"
  "many images with one method each: histogram matching, mean and standard\n"
  "deviation matching, tail matching, a robust linear gray-value fit and two\n"
  "local illumination corrections.\n"
  "\n"
  "This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libimgnorm-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libimgnorm${PROJECT_VERSION_MAJOR} (= ${deb_version})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "gray-level normalization of images (development files)\n"
  "The C++20 headers of the imgnorm library, its CMake package\n"
  "(find_package(imgnorm)) and its pkg-config file.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME imgnorm)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "libimgnorm${PROJECT_VERSION_MAJOR} (= ${deb_version})")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
  "normalize the gray levels of images to a trained reference\n"
  "The imgnorm program trains a tool on a reference image, saves it, and\n"
  "normalizes PNG, TIFF and PGM/PPM images with it, gray or colour, in\n"
  "parallel, with reports and side-by-side pictures.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-imgnorm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one interpreter version's ABI.
math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-dask, python3-distributed")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "gray-level normalization of images (Python 3 module)\n"
  "The imgnorm module trains and runs the normalizer on numpy arrays, reads\n"
  "and writes image files, and normalizes batches and images larger than\n"
  "memory with Dask.")

# Every package carries the copyright file and a Debian changelog.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
execute_process(COMMAND gzip -9nf ${changelog} COMMAND_ERROR_IS_FATAL ANY)
foreach(component library development program python)
  string(TOUPPER ${component} upper)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}.gz
    DESTINATION ${doc_dir} COMPONENT ${component})
endforeach()
# The shared library's package tells ldconfig to refresh its cache.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
