# Packages: a Debian package from the native build, a zip from the Windows one.
# Their names carry the project's version.
set(CPACK_PACKAGE_NAME tesrak)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tesrak project")
set(CPACK_PACKAGE_CONTACT "The Tesrak project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "back up one file under a unique, time-stamped name")
set(CPACK_PACKAGE_DESCRIPTION
    "Tesrak moves or copies a file into a folder named backup, under its name with the local\n\
date and time added. It is meant for scripts: silent when the backup was made, one\n\
line and a failure status when it was not, and it never loses or damages a file.\n\
The package also holds libtesrak, which gives C programs the same time stamp.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  install(TARGETS tesrak RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Tesrak-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
endif()
include(CPack)
