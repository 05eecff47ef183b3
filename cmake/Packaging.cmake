# Installation and packages: on Linux the program and its manual page, and a
# Debian package; on Windows a zip of the program and a short text file.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME vantacle)
set(CPACK_PACKAGE_VENDOR "The Vantacle developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Installed programs lose their symbols and debug sections; a program
# packed by another build (whose strip may not know its format) is linked
# without them.
set(CPACK_STRIP_FILES ON)
option(VANTACLE_LINK_STRIPPED "Link the program without symbols" OFF)
if(VANTACLE_LINK_STRIPPED)
  target_link_options(vantacle PRIVATE -s)
endif()

if(WIN32)
  install(TARGETS vantacle RUNTIME DESTINATION .)
  # The 64-bit program of a second build (linked stripped) rides in the
  # 32-bit program's zip as vantacle64.exe.
  set(VANTACLE_WIN64_PROGRAM "" CACHE FILEPATH "The 64-bit Windows program to put in the zip beside this one")
  if(VANTACLE_WIN64_PROGRAM)
    install(PROGRAMS ${VANTACLE_WIN64_PROGRAM} DESTINATION . RENAME vantacle64.exe)
  endif()
  # Windows readers expect CRLF line ends.
  file(READ ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  include(cmake/DebianPackage.cmake)
endif()

include(CPack)
