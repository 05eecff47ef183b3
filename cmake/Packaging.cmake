# Installation and packages: on Linux the program and its manual page, and a
# Debian package; on Windows a zip of the program and a short text file.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS vantacle RUNTIME DESTINATION .)
  install(FILES docs/windows-readme.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  install(TARGETS vantacle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/vantacle.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME vantacle)
set(CPACK_PACKAGE_VENDOR "Vantacle developers")
set(CPACK_PACKAGE_CONTACT "Vantacle developers <vantacle@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Powers an MMC or SD card on a parallel-port adapter, initialises it in SPI mode, shows its sectors as hex dumps and tests them; also runs on a built-in simulated card.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
