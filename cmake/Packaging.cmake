# Installing the qvinst98 tool, and its Debian package (cpack, or the target
# "package"): the tool in bin/, its manual page made from its own --help and
# --version (so the two cannot drift apart) and the sections docs/qvinst98.h2m
# adds, README, the tool's manual and licence in share/doc/qvinst98/.
include(GNUInstallDirs)
find_program(QVINST98_HELP2MAN help2man REQUIRED)
find_program(QVINST98_GZIP gzip REQUIRED)

set(manPage ${PROJECT_BINARY_DIR}/man/qvinst98.1)
set(manInclude ${PROJECT_SOURCE_DIR}/docs/qvinst98.h2m)
add_custom_command(
  OUTPUT ${manPage}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
  COMMAND ${QVINST98_HELP2MAN} --no-info --section=1
          "--name=run the QVInst98 exports against a simulated or offline Windows registry"
          --include=${manInclude} --output=${manPage} $<TARGET_FILE:qvinst98_tool>
  COMMAND ${QVINST98_GZIP} -9nf ${manPage}
  DEPENDS qvinst98_tool ${manInclude}
  COMMENT "Writing the qvinst98 manual page from its --help"
  VERBATIM)
add_custom_target(qvinst98_manpage ALL DEPENDS ${manPage}.gz)

# Debian wants a compressed changelog and a copyright file beside the docs.
set(debianDoc ${PROJECT_BINARY_DIR}/debian-doc)
file(CONFIGURE OUTPUT ${debianDoc}/changelog CONTENT [[
qvinst98 (@PROJECT_VERSION@) stable; urgency=medium

  * Release @PROJECT_VERSION@ of the qvinst98 tool.

 -- QV project team <dev@qvinst98.invalid>  Wed, 09 Dec 2026 00:00:00 +0000
]] @ONLY)
file(CONFIGURE OUTPUT ${debianDoc}/copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: qvinst98

Files: *
Copyright: 2026 the QV project team
License: all-rights-reserved
 All rights reserved. No licence is granted to copy, modify or distribute
 this software, in source or binary form, except by written permission of
 the QV project team.
]] @ONLY)
add_custom_command(
  OUTPUT ${debianDoc}/changelog.gz
  COMMAND ${QVINST98_GZIP} -9nc ${debianDoc}/changelog > ${debianDoc}/changelog.gz
  DEPENDS ${debianDoc}/changelog)
add_custom_target(qvinst98_debian_doc ALL DEPENDS ${debianDoc}/changelog.gz)

install(TARGETS qvinst98_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${manPage}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(docDir ${CMAKE_INSTALL_DATAROOTDIR}/doc/qvinst98)
install(FILES README.md LICENSE ${debianDoc}/copyright ${debianDoc}/changelog.gz
        DESTINATION ${docDir})
# The whole manual the README and the manual page point to, where the links expect it.
file(GLOB manualPages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${manualPages} docs/qvinst98-output.schema.json DESTINATION ${docDir}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvinst98)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QV project team <dev@qvinst98.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs the QVInst98 setup helper's exports on Windows registry images")
# The long description under the summary; CPack indents its lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Runs the sixteen exports of the QVInst98 game-controller setup helper
against a simulated Windows loaded from a .reg image, NT hive files or a
Windows 95/98/Me SYSTEM.DAT, shows what they would change, and can write
the changes back into the registry files of a Windows installation that
no longer boots.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are what dpkg-shlibdeps reads from the binary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
