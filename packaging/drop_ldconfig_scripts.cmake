# Run by CPack after it made the packages. CPack gives a package that holds a
# library under /usr/lib maintainer scripts that call ldconfig; Debian runs
# ldconfig through the trigger that the library's package declares instead,
# so the scripts are taken out again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "/libtesrak1_[^/]*\\.deb$")
    set(tree "${package}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
  endif()
endforeach()
