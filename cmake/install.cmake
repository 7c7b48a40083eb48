# What `cmake --install` puts where, and the Debian package made of it
# (`cpack -G DEB`): the command and its manual page, the library with its
# public headers under include/unseal/, a CMake package (unseal::unseal) and a
# pkg-config module. Both package files find the rest relative to themselves,
# so an installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(unseal_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/unseal)
install(TARGETS unseal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/unseal.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(TARGETS unseal_library EXPORT unsealTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/unseal DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT unsealTargets NAMESPACE unseal:: DESTINATION ${unseal_cmake_dir})

configure_package_config_file(cmake/unsealConfig.cmake.in unsealConfig.cmake INSTALL_DESTINATION ${unseal_cmake_dir})
# 0.x versions make no promise between minor versions.
write_basic_package_version_file(unsealConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unsealConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/unsealConfigVersion.cmake
  DESTINATION ${unseal_cmake_dir})

# pkg-config: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH unseal_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" unseal_pc_to_prefix "${unseal_pc_to_prefix}")
configure_file(cmake/unseal.pc.in unseal.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unseal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME unseal)
set(CPACK_PACKAGE_VENDOR "unseal maintainers")
set(CPACK_PACKAGE_CONTACT "unseal maintainers <maintainers@users.noreply.c-seed-931669b2.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decrypt files with a 32-byte key, and its AES-256 library")
set(CPACK_PACKAGE_DESCRIPTION "unseal decrypts a file of 128-byte AES-256 CFB chunks with a 32-byte key and
writes the result beside it, whole or not at all. The package also holds the
C++20 cipher library it is built on (AES-256 in seven chaining modes, four
padding schemes, a cipher engine with text and stream transforms, SHA-1),
with its headers, CMake package and pkg-config module.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress_man_pages.cmake)
include(CPack)
