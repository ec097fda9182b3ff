# POSIX: the program with its manual page and documents, and the stamp
# functions as a shared library with a C header, a CMake package and a
# pkg-config file.
# Debian's multiarch library folder (lib/x86_64-linux-gnu), whatever the prefix.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(tesrak_library SHARED)
target_link_libraries(tesrak_library PRIVATE tesrak_stamp_objects)
# Only the two stamp functions leave the library, which needs no C++ runtime
# of the system's.
target_link_options(tesrak_library PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/res/tesrak.map
                    -static-libstdc++ -static-libgcc)
set_target_properties(tesrak_library PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/res/tesrak.map)
target_include_directories(tesrak_library INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(tesrak_library PROPERTIES
  OUTPUT_NAME tesrak EXPORT_NAME tesrak
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/tesrak.h)

# Three parts, as Debian splits a program with a library: the program, the
# run-time library, and what building against the library takes.
install(TARGETS tesrak RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
configure_file(docs/tesrak.1.in ${PROJECT_BINARY_DIR}/tesrak.1 @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/tesrak.1.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/tesrak.1
  DEPENDS ${PROJECT_BINARY_DIR}/tesrak.1 VERBATIM)
add_custom_target(manual_page ALL DEPENDS ${PROJECT_BINARY_DIR}/tesrak.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/tesrak.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tesrak COMPONENT program)
install(FILES packaging/tesrak.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  RENAME tesrak COMPONENT program)
# zsh and fish look in these vendor folders on Debian.
install(FILES packaging/tesrak.zsh-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/vendor-completions
  RENAME _tesrak COMPONENT program)
install(FILES packaging/tesrak.fish-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/fish/vendor_completions.d
  RENAME tesrak.fish COMPONENT program)
# The systemd units, placed by a script run at install time (see there).
configure_file(cmake/install_systemd_units.cmake.in ${PROJECT_BINARY_DIR}/install_systemd_units.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/install_systemd_units.cmake COMPONENT program)
# Debian carries the licence in each package's copyright file instead.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tesrak COMPONENT licence)
install(TARGETS tesrak_library EXPORT TesrakTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT TesrakTargets NAMESPACE Tesrak:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesrak
  COMPONENT development)
configure_package_config_file(cmake/TesrakConfig.cmake.in ${PROJECT_BINARY_DIR}/TesrakConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesrak)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TesrakConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TesrakConfig.cmake ${PROJECT_BINARY_DIR}/TesrakConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tesrak COMPONENT development)
# The pkg-config file finds the prefix from where it lies, so that an install
# moved elsewhere (or made with --prefix) still works.
file(RELATIVE_PATH pkgconfig_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/tesrak.pc.in ${PROJECT_BINARY_DIR}/tesrak.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tesrak.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
