# Run by CPack on the staged files of the .deb: Debian ships manual pages
# compressed with gzip -9n (no name or time stamp, so the package is
# reproducible).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
list(FILTER pages INCLUDE REGEX "/man/man1/[^/]*$")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
