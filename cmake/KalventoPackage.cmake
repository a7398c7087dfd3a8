# The Debian package: "cpack -G DEB" in the build folder gives kalvento_<version>_<arch>.deb
# with what "cmake --install" puts under /usr. Its dependencies on shared libraries come
# from dpkg-shlibdeps; what the program loads at run time without linking it (Qt's plugins,
# the sound theme, the font whose glyphs the delivery marks use) is recommended.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvento)
set(CPACK_PACKAGE_VENDOR Fennrake)
set(CPACK_PACKAGE_CONTACT "Fennrake <kalvento@fennrake.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serverless chat for the local network")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.fennrake.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "libqt6svg6, qt6-wayland, sound-theme-freedesktop, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description, below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kalvento is a chat for a local network. Every running copy joins one
conversation that spans the workgroups of the network: a typed line
appears on every other computer, or, as a private line, only on the
computers ticked in the list. There is no server and no account; copies
find each other when they start. It uses UDP port 5737.")
include(CPack)
