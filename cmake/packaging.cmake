# Installation, the manual, the Windows resources and the packages: a .deb for
# the Linux program, a .zip for the Windows program. The version is the one of
# project() in CMakeLists.txt.
include(GNUInstallDirs)

set(TARN_SUMMARY "make a target folder tree match a source folder tree")
set(TARN_VENDOR "tarn developers")
set(TARN_MAINTAINER "tarn developers <maintainers@tarn.invalid>" CACHE STRING
  "Maintainer field of the Debian package")
set(TARN_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# The manual: docs/usage.md is the one source; the manual page (Linux) and the
# HTML page (Windows) are generated from it on every change.
set(TARN_USAGE ${CMAKE_SOURCE_DIR}/docs/usage.md)
find_program(TARN_PANDOC pandoc)
if(NOT TARN_PANDOC)
  message(WARNING "pandoc not found: the manual is not built (install the Debian package pandoc)")
elseif(WIN32)
  set(TARN_MANUAL ${CMAKE_BINARY_DIR}/tarn.html)
  add_custom_command(OUTPUT ${TARN_MANUAL}
    COMMAND ${TARN_PANDOC} ${TARN_USAGE} -f gfm -t html5 -s --shift-heading-level-by=-1
      "--metadata=subtitle:version ${PROJECT_VERSION}" -o ${TARN_MANUAL}
    DEPENDS ${TARN_USAGE}
    COMMENT "Generating the HTML manual" VERBATIM)
else()
  set(TARN_MANUAL ${CMAKE_BINARY_DIR}/tarn.1)
  add_custom_command(OUTPUT ${TARN_MANUAL}
    COMMAND ${TARN_PANDOC} ${TARN_USAGE} -f gfm -t man -s
      --lua-filter=${TARN_PACKAGING_DIR}/manpage.lua
      --metadata=title:TARN --metadata=section:1 "--metadata=header:User Commands"
      "--metadata=footer:tarn ${PROJECT_VERSION}" "--metadata=summary:${TARN_SUMMARY}"
      # Ragged right: narrow table cells cannot be justified without gaps.
      --variable=adjusting:l
      -o ${TARN_MANUAL}
    DEPENDS ${TARN_USAGE} ${TARN_PACKAGING_DIR}/manpage.lua
    COMMENT "Generating the manual page" VERBATIM)
endif()
if(TARN_MANUAL)
  add_custom_target(tarn_manual ALL DEPENDS ${TARN_MANUAL})
endif()

if(NOT TARGET tarn)
  return()
endif()

if(WIN32)
  # Version resource and manifest, compiled by the cross toolchain's windres.
  enable_language(RC)
  set(TARN_MANIFEST ${TARN_PACKAGING_DIR}/tarn.manifest)
  set(TARN_DESCRIPTION "tarn: ${TARN_SUMMARY}")
  configure_file(${TARN_PACKAGING_DIR}/tarn.rc.in ${CMAKE_BINARY_DIR}/tarn.rc @ONLY)
  set_source_files_properties(${CMAKE_BINARY_DIR}/tarn.rc PROPERTIES OBJECT_DEPENDS ${TARN_MANIFEST})
  target_sources(tarn PRIVATE ${CMAKE_BINARY_DIR}/tarn.rc)

  # The .zip holds one folder: tarn.exe, the HTML manual and the licence.
  install(TARGETS tarn RUNTIME DESTINATION .)
  if(TARN_MANUAL)
    install(FILES ${TARN_MANUAL} DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  install(TARGETS tarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARN_MANUAL)
    install(FILES ${TARN_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES ${TARN_PACKAGING_DIR}/tarn.bash
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME tarn)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VENDOR ${TARN_VENDOR})
set(CPACK_PACKAGE_CONTACT ${TARN_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${TARN_SUMMARY})
set(CPACK_PACKAGE_DESCRIPTION "tarn walks a source and a target folder tree once, in one sorted order, and
makes the target match: it copies new and changed files, creates folders,
recreates symbolic links and, when asked, removes what the source lacks.
Filters choose the paths that take part, and a test run changes nothing.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  set(CPACK_PRE_BUILD_SCRIPTS ${TARN_PACKAGING_DIR}/compress_manual.cmake)
endif()
include(CPack)
