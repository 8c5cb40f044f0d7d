# What `cmake --install` puts where, and the package `cmake --build B --target
# package` makes of it: a zip for Windows, a Debian package elsewhere.
set(CPACK_PACKAGE_NAME quarn)
set(CPACK_PACKAGE_VENDOR "Quarn developers")
set(CPACK_PACKAGE_CONTACT "Quarn developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loader for ORBA-01 boards over a serial line")
set(CPACK_PACKAGE_DESCRIPTION "Quarn drives the resident firmware of ORBA-01 boards over a serial line:
identity, commands, scripts, S-record images and copies of target memory.
quarn-sim is a simulated board on a pseudo-terminal, for dry runs.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # A folder to unzip anywhere: the program and how to use it, in Windows line ends.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  configure_file(packaging/README-windows.txt README-windows.txt @ONLY NEWLINE_STYLE WIN32)
  install(TARGETS quarn quarnc RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # Dependencies as dpkg-shlibdeps finds them in the programs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  install(TARGETS quarn quarn-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/quarn.1 man/quarn-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
include(CPack)
