# What `cmake --install` adds beside the targets' own install rules: the CMake
# package and the pkg-config file, both relocatable, in the dev component.
include(CMakePackageConfigHelpers)

set(ZELM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZelmMDNS)
set(ZELM_PLUGIN_FILE ${CMAKE_INSTALL_LIBDIR}/libZelmMDNS.so.0)

install(EXPORT ZelmMDNSTargets NAMESPACE ZelmMDNS:: DESTINATION ${ZELM_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(cmake/ZelmMDNSConfig.cmake.in ${PROJECT_BINARY_DIR}/ZelmMDNSConfig.cmake
                              INSTALL_DESTINATION ${ZELM_CMAKE_PACKAGE_DIR} PATH_VARS ZELM_PLUGIN_FILE)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZelmMDNSConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZelmMDNSConfig.cmake ${PROJECT_BINARY_DIR}/ZelmMDNSConfigVersion.cmake
        DESTINATION ${ZELM_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The prefix as seen from the .pc file's folder, so that the file works
# wherever the tree is unpacked.
file(RELATIVE_PATH ZELM_PC_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZELM_PC_PREFIX "${ZELM_PC_PREFIX}")
configure_file(cmake/ZelmMDNS.pc.in ${PROJECT_BINARY_DIR}/ZelmMDNS.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ZelmMDNS.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
