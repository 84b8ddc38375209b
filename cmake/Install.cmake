# What `cmake --install BUILD --prefix DIR` puts under DIR: the programs (bin), the directory
# module with its codec (lib/qorldap, where the loader finds the codec beside the module), the
# platform runtime libqorhost shared and static (lib) with its headers (include/qorldap), a
# pkg-config file and a CMake package for host programs built against it, the man page of qords,
# its bash completion, the example host program and the schema the module relies on.
include(CMakePackageConfigHelpers)

set(QOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qorldap)

install(TARGETS qords qorinfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qorldap qorldber LIBRARY DESTINATION ${QOR_INSTALL_MODULEDIR})
install(TARGETS qorhost_shared qorhost EXPORT qorldapTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qorldap DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The image record of qorhost.h, which includes it as "abi/module_image.h" from beside itself.
install(FILES ${PROJECT_SOURCE_DIR}/abi/module_image.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorldap/abi)

# CMake: find_package(qorldap) gives qorldap::qorhost (shared) and qorldap::qorhost_static, and
# QORLDAP_MODULE, the module image to load.
install(EXPORT qorldapTargets NAMESPACE qorldap:: DESTINATION ${QOR_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qorldapConfig.cmake.in
  ${CMAKE_BINARY_DIR}/qorldapConfig.cmake
  INSTALL_DESTINATION ${QOR_INSTALL_CMAKEDIR}
  PATH_VARS QOR_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qorldapConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qorldapConfig.cmake ${CMAKE_BINARY_DIR}/qorldapConfigVersion.cmake
  DESTINATION ${QOR_INSTALL_CMAKEDIR})

# pkg-config: paths relative to the file's own place, so an install can be moved; the static
# form carries what libqorhost.a needs, OpenSSL and the C++ runtime included.
file(RELATIVE_PATH QOR_PKGCONFIG_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QOR_PKGCONFIG_TO_PREFIX "${QOR_PKGCONFIG_TO_PREFIX}")
set(QOR_PKGCONFIG_PRIVATE_LIBS "")
foreach(library ${QORHOST_SYSTEM_LIBRARIES} ssl crypto stdc++ m)
  string(APPEND QOR_PKGCONFIG_PRIVATE_LIBS " -l${library}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qorhost.pc.in ${CMAKE_BINARY_DIR}/qorhost.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qorhost.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/tools/qords/qords.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/tools/qords/qords.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qords)
install(FILES ${PROJECT_SOURCE_DIR}/tools/examples/lookup.c DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/data/schema/qor.schema DESTINATION ${CMAKE_INSTALL_DATADIR}/qorldap)
