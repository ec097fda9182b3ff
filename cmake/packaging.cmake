# Packages: three Debian packages from the native build, a zip from the
# Windows one. Their names and versions come from project().
set(CPACK_PACKAGE_NAME tesrak)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tesrak project")
set(CPACK_PACKAGE_CONTACT "The Tesrak project <tesrak@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# The programs and the library ship without their symbols.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  install(TARGETS tesrak RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Tesrak-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL program library development)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # CPack puts any other summary before the description of every package;
  # each package's description starts with a summary line of its own.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
  set(CPACK_DEBIAN_PACKAGE_SOURCE tesrak)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends of the program and the library come from dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME tesrak)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "back up files under unique, time-stamped names
Tesrak moves or copies files into a folder named backup, under their names
with the local date and time added. It is meant for scripts: silent when the
backups were made, one line and a failure status when they were not, and it
never loses or damages a file.")

  set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtesrak1)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "Tesrak's local-time stamp for C programs
libtesrak gives C and C++ programs the 16-digit local-time stamp that Tesrak
puts into the names of its backups.
.
This package holds the shared library.")
  # The library's own shlibs entry and the ldconfig trigger, in place of
  # maintainer scripts that run ldconfig.
  configure_file(packaging/libtesrak1.shlibs.in ${PROJECT_BINARY_DIR}/debian/library/shlibs @ONLY)
  configure_file(packaging/triggers ${PROJECT_BINARY_DIR}/debian/library/triggers COPYONLY)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
      ${PROJECT_BINARY_DIR}/debian/library/shlibs ${PROJECT_BINARY_DIR}/debian/library/triggers)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/drop_ldconfig_scripts.cmake)

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtesrak-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libtesrak1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Tesrak's local-time stamp for C programs (development files)
libtesrak gives C and C++ programs the 16-digit local-time stamp that Tesrak
puts into the names of its backups.
.
This package holds the C header, the CMake package and the pkg-config file.")

  # Each package's copyright file and changelog, as Debian wants them; not
  # part of a plain install.
  configure_file(packaging/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/debian/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  foreach(component IN ITEMS program library development)
    string(TOUPPER ${component} upper)
    install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()
endif()
include(CPack)
