# A Debian package of the installed programs: cpack -G DEB in the build tree.
set(CPACK_GENERATOR "DEB" CACHE STRING "CPack generators")
set(CPACK_PACKAGE_NAME "zt9047q-update")
set(CPACK_PACKAGE_VENDOR "QNL")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the ZT9047Q instrument")
set(CPACK_PACKAGE_DESCRIPTION
    "Updates the firmware of a ZT9047Q over its USB serial link: the window
zt9047q-update, the terminal front end zt9047q-flash and the instrument
simulator zt9047q-sim.")
set(CPACK_PACKAGE_CONTACT "QNL firmware tools <tools@qnl.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the programs link (Qt 6 among them) become the dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
