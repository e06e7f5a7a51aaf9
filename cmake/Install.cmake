# What `cmake --install` puts under the prefix, and the Debian package built
# from it by `cpack -G DEB`: the program, its manual page and its bash
# completion, and the many-hosts playbook as an example. The helper tools,
# tests and benchmarks are for development and stay in the build tree.
include(GNUInstallDirs)

install(TARGETS dezevazir RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compilers' version notes (.comment) are of no use to the program.
if(CMAKE_OBJCOPY)
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/dezevazir\"
                COMMAND_ERROR_IS_FATAL ANY)")
endif()

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
  # Built with the program, so that a build of the program alone (as
  # scripts/run.sh makes) can be installed and packaged.
  add_dependencies(dezevazir dz_man_page)
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
# The maintainer as Debian's own tools take it (DEBFULLNAME and DEBEMAIL),
# else a placeholder; a package for others to install names a real one with
# -DDZ_PACKAGE_MAINTAINER="Name <address>".
if(DEFINED ENV{DEBEMAIL} AND DEFINED ENV{DEBFULLNAME})
  set(dz_default_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(dz_default_maintainer "Dezevazir maintainers <dezevazir@example.org>")
endif()
set(DZ_PACKAGE_MAINTAINER "${dz_default_maintainer}" CACHE STRING "Maintainer named in the Debian package")
# Build trees configured before keep the earlier default, which no mail can reach.
if(DZ_PACKAGE_MAINTAINER STREQUAL "Dezevazir maintainers <dezevazir@localhost>")
  set(DZ_PACKAGE_MAINTAINER "${dz_default_maintainer}" CACHE STRING "Maintainer named in the Debian package" FORCE)
endif()
if(NOT DZ_PACKAGE_MAINTAINER MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ .]+(\\.[^<>@ .]+)+>$")
  message(FATAL_ERROR "DZ_PACKAGE_MAINTAINER must read \"Name <address@domain>\", not '${DZ_PACKAGE_MAINTAINER}'")
endif()
set(CPACK_PACKAGE_CONTACT "${DZ_PACKAGE_MAINTAINER}")

# The package's copyright file and changelog (compressed, as Debian has it).
install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
if(DZ_GZIP)
  set(DZ_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(
    OUTPUT ${DZ_CHANGELOG_GZ}
    COMMAND ${DZ_GZIP} -9n -c ${PROJECT_BINARY_DIR}/doc/changelog > ${DZ_CHANGELOG_GZ}
    DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(dz_changelog ALL DEPENDS ${DZ_CHANGELOG_GZ})
  add_dependencies(dezevazir dz_changelog)
  install(FILES ${DZ_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_BINARY_DIR}/doc/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
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
