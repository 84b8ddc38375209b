# A Debian package of the install (cpack -G DEB, run by scripts/package): everything that
# `cmake --install` puts under /usr. Its architecture is the build's: i386 for the default
# preset, the machine's own for the native one. The dependencies are read from the programs and
# libraries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorldap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the qorldap authors")
set(CPACK_PACKAGE_CONTACT "the qorldap authors <qorldap@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "directory-services module of the host platform, with qords and the platform runtime")
set(CPACK_PACKAGE_DESCRIPTION
  "qorldap is the directory-services module (qorldap.so) of a host application platform, with its BER codec, the platform runtime libqorhost that loads it on Linux (shared and static, headers, pkg-config and CMake files), and qords, which runs every directory function from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
include(CPack)
