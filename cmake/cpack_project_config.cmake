# Read by cpack for each generator. The Debian packages install under /usr,
# and their library belongs in the multiarch folder, which GNUInstallDirs
# picks only for a build configured with that prefix.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_UNSEAL_CONFIGURED_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "The Debian packages are made from a build configured with -DCMAKE_INSTALL_PREFIX=/usr "
    "(this one has ${CPACK_UNSEAL_CONFIGURED_PREFIX}); scripts/package.sh configures build-deb/ so.")
endif()
