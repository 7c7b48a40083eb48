# Run by CPack after it has installed the project into its staging folder:
# Debian ships manual pages and changelogs gzipped (-n: no name or time stamp
# in the gzip header, so the same sources give the same package).
file(GLOB_RECURSE unseal_pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[1-9]")
list(FILTER unseal_pages INCLUDE REGEX "/share/man/man[1-9]/[^/]+$")
file(GLOB_RECURSE unseal_changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/changelog")
list(FILTER unseal_changelogs INCLUDE REGEX "/share/doc/[^/]+/changelog$")
foreach(file IN LISTS unseal_pages unseal_changelogs)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
