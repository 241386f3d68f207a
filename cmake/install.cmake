# What `cmake --install` puts under the prefix, and the Debian package `cpack -G DEB` builds
# from the same rules: both programs and their manual pages.

install(TARGETS email_ventry email_ventry_report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual pages are made from each program's --help and --version output (help2man) and a
# few sections kept beside the docs (docs/man/<program>.h2m).
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP AND TARGET email_ventry_report)
  set(man_pages "")
  foreach(program email_ventry email_ventry_report)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    set(extra ${CMAKE_SOURCE_DIR}/docs/man/${program}.h2m)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --section=1 --include=${extra} --output=${page}
              $<TARGET_FILE:${program}>
      COMMAND ${GZIP} -9nf ${page}
      DEPENDS ${program} ${extra}
      COMMENT "Manual page ${program}.1"
      VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no manual pages (scripts/setup-deps installs them)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME email-ventry)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measures how faithfully a mail reader handles real mail")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "email_ventry runs a mail application's message reader and an independent raw probe "
       "over every message of a corpus and writes one JSON line per message that sets the two "
       "side by side. email_ventry_report turns those lines into a fidelity report and compares "
       "two runs.")
set(CPACK_PACKAGE_CONTACT "email_ventry maintainers <maintainers@email-ventry.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Whatever the programs link (ICU today, more libraries later) is declared through
# dpkg-shlibdeps, so the package installs with its dependencies on a fresh machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
