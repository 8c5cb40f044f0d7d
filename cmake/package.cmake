# What `cmake --install` puts where, and the package `cmake --build B --target
# package` makes of it: a zip for Windows, a Debian package elsewhere.
set(CPACK_PACKAGE_NAME quarn)
set(CPACK_PACKAGE_VENDOR "Quarn developers")
set(QUARN_MAINTAINER "Quarn developers <quarn@example.org>")
set(CPACK_PACKAGE_CONTACT "${QUARN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loader for ORBA-01 boards over a serial line")
set(CPACK_PACKAGE_DESCRIPTION "Quarn drives the resident firmware of ORBA-01 boards over a serial line:
identity, commands, scripts, S-record images and copies of target memory.
quarn-sim is a simulated board on a pseudo-terminal, for dry runs.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # A folder to unzip anywhere: the program, how to use it and the licence,
  # in Windows line ends.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  configure_file(packaging/README-windows.txt README-windows.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
  install(TARGETS quarn quarnc RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUARN_MAINTAINER}")
  # Dependencies as dpkg-shlibdeps finds them in the programs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  install(TARGETS quarn quarn-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the package's changelog compressed as Debian wants
  # them: the most, and no name or time stamp inside.
  set(gz)
  foreach(f man/quarn.1 man/quarn-sim.1 packaging/changelog.Debian)
    get_filename_component(name ${f} NAME)
    add_custom_command(OUTPUT ${name}.gz
                       COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${f} > ${name}.gz
                       DEPENDS ${f})
    list(APPEND gz ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  endforeach()
  add_custom_target(compressed ALL DEPENDS ${gz})
  list(POP_BACK gz changelog)
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES examples/README.md examples/demo.scr examples/demo.s28 DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(PROGRAMS examples/flash-boards examples/station DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES packaging/quarn.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME quarn)
endif()
include(CPack)
