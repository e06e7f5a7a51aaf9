# What `cmake --install` puts under the prefix, and the Debian package built
# from it by `cpack -G DEB`: the program, its manual page and its bash
# completion, and the many-hosts playbook as an example. The helper tools,
# tests and benchmarks are for development and stay in the build tree.
include(GNUInstallDirs)

install(TARGETS dezevazir RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages are installed compressed (gzip -9n: no name or time stamp, so
# the same page always gives the same file), as Debian does.
find_program(DZ_GZIP gzip)
set(DZ_MAN_PAGE ${PROJECT_SOURCE_DIR}/doc/dezevazir.1)
if(DZ_GZIP)
  set(DZ_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/doc/dezevazir.1.gz)
  add_custom_command(
    OUTPUT ${DZ_MAN_PAGE_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND ${DZ_GZIP} -9n -c ${DZ_MAN_PAGE} > ${DZ_MAN_PAGE_GZ}
    DEPENDS ${DZ_MAN_PAGE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(dz_man_page ALL DEPENDS ${DZ_MAN_PAGE_GZ})
  install(FILES ${DZ_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${DZ_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/contrib/bash-completion/dezevazir
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES ${PROJECT_SOURCE_DIR}/contrib/ansible/dezevazir.yml
              ${PROJECT_SOURCE_DIR}/contrib/ansible/inventory.example.ini
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/ansible)

# The package version joins the program's version and build number
# ("dezevazir 1.03 (build 153)" gives 1.03.153); the package test checks
# that the two agree.
set(CPACK_PACKAGE_NAME dezevazir)
set(CPACK_PACKAGE_VERSION 1.03.153)
set(DZ_PACKAGE_MAINTAINER "Dezevazir maintainers <dezevazir@localhost>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_CONTACT "${DZ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "estimate the space a data-reducing storage array needs")
# One line per line of the package's extended description.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "dezevazir scans a block device or a large file and estimates how much"
       "physical space the Quenara, a data-reducing storage array, would need"
       "for it: the savings by deduplication, by compression and by not storing"
       "zero blocks, and the overheads the array adds. It only reads the source."
       "The sketch files of several sources or hosts can be merged into one"
       "estimate across all of them.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DZ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ansible)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
