# Run by CPack after it has made the packages. A shared library package lets
# dpkg's ldconfig trigger (cmake/debian/triggers) update the loader's cache;
# CPack also writes postinst and postrm scripts that call ldconfig for any
# library under /usr/lib, which Debian no longer wants: they are taken out of
# the shared library's package here.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "/libunseal[0-9.]+_[^/]+\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
