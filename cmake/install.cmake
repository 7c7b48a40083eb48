# What `cmake --install` puts where, and the Debian packages made of it
# (`cpack -G DEB`), laid out as Debian lays out its own libraries:
#   unseal          (component command)      the command, its manual page and
#                                            its bash completion
#   libunseal-dev   (component development)  the static library (or the .so
#                   link), public headers under include/unseal/, a CMake
#                   package (unseal::unseal) and a pkg-config module
#   libunseal<SOVERSION> (component library) the shared library, only when
#                   BUILD_SHARED_LIBS is on
# Both package files find the rest relative to themselves, so an installed tree
# can be moved as a whole. The library goes to GNUInstallDirs' libdir, which
# is the multiarch folder (lib/x86_64-linux-gnu) when the prefix given at
# configure time is /usr.
include(CMakePackageConfigHelpers)

set(unseal_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/unseal)
set(unseal_soversion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
install(TARGETS unseal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
install(FILES docs/unseal.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT command)
install(FILES docs/unseal.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  RENAME unseal COMPONENT command)
install(TARGETS unseal_library EXPORT unsealTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
install(DIRECTORY include/unseal DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT unsealTargets NAMESPACE unseal:: DESTINATION ${unseal_cmake_dir} COMPONENT development)

configure_package_config_file(cmake/unsealConfig.cmake.in unsealConfig.cmake INSTALL_DESTINATION ${unseal_cmake_dir})
# 0.x versions make no promise between minor versions.
write_basic_package_version_file(unsealConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unsealConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/unsealConfigVersion.cmake
  DESTINATION ${unseal_cmake_dir} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH unseal_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" unseal_pc_to_prefix "${unseal_pc_to_prefix}")
configure_file(cmake/unseal.pc.in unseal.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unseal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The Debian packages. Their names, one per component:
set(unseal_deb_command unseal)
set(unseal_deb_development libunseal-dev)
set(unseal_deb_library libunseal${unseal_soversion})
set(unseal_components command development)
if(BUILD_SHARED_LIBS)
  list(APPEND unseal_components library)
endif()

# Each package carries /usr/share/doc/<package>/copyright and changelog.gz, as
# Debian requires. They are installed only into the packages (EXCLUDE_FROM_ALL
# leaves them out of a plain `cmake --install`); the changelog is gzipped in
# the staging folder by debian_compress.cmake, with the manual page.
file(STRINGS cmake/debian/changelog unseal_changelog_top LIMIT_COUNT 1)
if(NOT unseal_changelog_top MATCHES "^unseal \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog does not start with an entry for version ${PROJECT_VERSION}: "
    "add one before packaging this version")
endif()
foreach(component IN LISTS unseal_components)
  install(FILES cmake/debian/copyright cmake/debian/changelog
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${unseal_deb_${component}} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The command accepts one key, chosen when it is built; the package says which.
if(unseal_reference_digest_is_demo)
  set(unseal_deb_key_note "This build accepts only the public demo key of the sources
(unseal-demo-key-0123456789abcdef); build the package from the sources
to have it accept a key of your own.")
else()
  set(unseal_deb_key_note "This build accepts one key of its own, chosen when it was built.")
endif()

set(CPACK_PACKAGE_NAME unseal)
# Each package's description starts with a synopsis of its own; CPack
# prepends the project's summary to it unless that is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_VENDOR "unseal maintainers")
set(CPACK_PACKAGE_CONTACT "unseal maintainers <maintainers@users.noreply.c-seed-931669b2.example>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${unseal_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian_compress.cmake)
# cpack refuses to lay the packages out for /usr from a build configured for
# another prefix: its libdir would not be the multiarch one.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project_config.cmake)
set(CPACK_UNSEAL_CONFIGURED_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME ${unseal_deb_command})
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_COMMAND_DESCRIPTION "decrypt a file with a 32-byte key
unseal decrypts a file made of a 54-byte clear header and 128-byte
AES-256 CFB chunks, and writes the result to a new file whose name it
derives from the input's, whole or not at all: it never writes the input,
and a failed run leaves the output path as it was.
${unseal_deb_key_note}")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${unseal_deb_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "AES-256 cipher library of unseal - development files
libunseal is a compact C++20 cipher library: fixed-size blocks with four
padding schemes, AES-256 on the CPU's AES instructions or portable code,
seven chaining modes, a block-cipher random generator, a cipher engine with
text and stream transforms, and SHA-1. It depends on the C++ standard
library alone.
This package holds the library, its headers, a CMake package
(find_package(unseal), target unseal::unseal) and a pkg-config module.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${unseal_deb_library})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "AES-256 cipher library of unseal
libunseal is a compact C++20 cipher library: fixed-size blocks with four
padding schemes, AES-256 on the CPU's AES instructions or portable code,
seven chaining modes, a block-cipher random generator, a cipher engine with
text and stream transforms, and SHA-1.
This package holds the shared library.")
if(BUILD_SHARED_LIBS)
  # The command and the development files need the shared library package of
  # the same version; the library package says what it provides (shlibs).
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_COMPONENT_COMMAND_DEPENDS library)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # dpkg-shlibdeps must find the library the command links while packaging it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian_ldconfig_trigger.cmake)
endif()
include(CPack)
