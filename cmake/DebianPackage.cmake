# The Debian package: stripped program, compressed manual page, copyright
# and changelog where Debian keeps them, and a Release build of the program
# whatever this build folder's type.

# gzip -9n: the most compression and no name or time stamp, as Debian wants.
function(vantacle_gzip source target)
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${target} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${source}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

set(debian_files ${CMAKE_BINARY_DIR}/debian-files)
file(MAKE_DIRECTORY ${debian_files})
vantacle_gzip(${PROJECT_SOURCE_DIR}/docs/vantacle.1 ${debian_files}/vantacle.1.gz)
vantacle_gzip(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${debian_files}/changelog.gz)

install(TARGETS vantacle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${debian_files}/vantacle.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${debian_files}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantacle)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian requires the field; a distribution that takes the package sets its own.
set(VANTACLE_MAINTAINER "The Vantacle developers <maintainers@vantacle.invalid>" CACHE STRING
    "The Debian package's Maintainer field: a name and a mail address")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANTACLE_MAINTAINER}")
# The extended description beneath the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Powers an MMC or SD card on a parallel-port adapter (direct port access or
Linux ppdev), initialises it in SPI mode, and then, one mode per run:
browses its sectors as hex dumps; shows its registers (--info); runs a
surface test that writes, reads back and restores sectors (--test); copies
the card to a file (--dump), compares it with one (--verify), writes one to
it (--load), with a GNU ddrescue mapfile that lets a stopped copy go on
(--map); probes whether the card really holds its stated size (--probe);
or serves the card to every disk tool as a network block device (--serve).

A built-in simulated card lets every mode run without hardware.")

# A build folder of another type packages a Release build made beside it.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  set(release_build ${CMAKE_BINARY_DIR}/package-release)
  set(CPACK_INSTALL_COMMANDS
      "${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${release_build} -DCMAKE_BUILD_TYPE=Release -DVANTACLE_TESTS=OFF -DVANTACLE_BENCH=OFF"
      "${CMAKE_COMMAND} --build ${release_build} --target vantacle")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${release_build};vantacle;ALL;/")
endif()
