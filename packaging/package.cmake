# Desktop integration, the controllers' udev rule and the Debian package (cpack -G DEB from a
# Release build). Installed under /usr, where the programs look for their interface files.
set(PKG_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(FILES ${PKG_DIR}/kelvra.desktop ${PKG_DIR}/kelvra0.desktop DESTINATION share/applications)
install(FILES ${PKG_DIR}/icons/kelvra.svg ${PKG_DIR}/icons/kelvra0.svg
        DESTINATION share/icons/hicolor/scalable/apps)
# The PNGs are the SVGs rendered by `rsvg-convert -w 48 -h 48` (librsvg2-bin), kept in the tree so
# that the build needs no renderer.
install(FILES ${PKG_DIR}/icons/kelvra.png ${PKG_DIR}/icons/kelvra0.png
        DESTINATION share/icons/hicolor/48x48/apps)
install(FILES ${PKG_DIR}/60-kelvra.rules DESTINATION lib/udev/rules.d)
# The configuration files' type, which the desktop entries open (dpkg's trigger of
# shared-mime-info updates the database).
install(FILES ${PKG_DIR}/kelvra-mime.xml DESTINATION share/mime/packages RENAME kelvra.xml)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvra)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "Kelvra developers <kelvra@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configuration tool for transformer temperature controllers")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Field engineers' tool for transformer temperature controllers reached over their
FTDI USB-serial bridge (MODBUS RTU): download, edit and upload the parameters,
save and load them as configuration files, export the event memory as CSV.
.
kelvra serves the full controllers, kelvra0 the RTD-only ones; kelvra-sim is a
simulated controller on a pseudo-terminal, for training. A udev rule gives the
controllers' ports to group dialout and sets the bridge's latency timer to 1 ms.")
# Depends comes from the libraries the programs link (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PKG_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Builds the package in a scratch tree of its own and checks what it installs.
if(KELVRA_TESTS)
  find_program(PKG_DPKG_DEB dpkg-deb)
  find_program(PKG_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(PKG_FILE file)
  if(PKG_DPKG_DEB AND PKG_DPKG_SHLIBDEPS AND PKG_FILE)
    add_test(NAME package
             COMMAND bash ${PKG_DIR}/test-package.sh ${CMAKE_SOURCE_DIR}
                     ${CMAKE_BINARY_DIR}/package-test)
    # It builds with two jobs: ctest runs nothing beside it rather than share the cores.
    set_tests_properties(package PROPERTIES TIMEOUT 600 PROCESSORS 2)
  else()
    message(STATUS "package test left out: dpkg-deb, dpkg-shlibdeps or file is missing")
  endif()
endif()
