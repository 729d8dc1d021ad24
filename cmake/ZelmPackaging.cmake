# `cpack -G DEB`: Debian packages split the way Debian splits a library.
#   libzelmmdns0     the plug-in and the two host libraries (component runtime)
#   libzelmmdns-dev  headers, development links, CMake package, pkg-config file
#   zelm-mdns        the command-line tool and its man page
set(CPACK_PACKAGE_NAME zelm-mdns)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libZelmMDNS developers <zelm-mdns@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multicast-DNS discovery and advertisement plug-in")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Multicast-DNS plug-in (libZelmMDNS.so.0) and its host libraries\n Browse, resolve, address lookup and service registration over the DNS-SD daemon.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Headers, CMake package and pkg-config file for hosts of libZelmMDNS")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Command-line tool to browse, resolve, look up and register mDNS services")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzelmmdns0)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzelmmdns-dev)
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zelm-mdns)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
# The plug-in talks to avahi-daemon over D-Bus, which may as well run elsewhere
# in a container setup: recommended, not required.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS avahi-daemon)

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the libraries installed through dpkg, not those of
  # a cross sysroot: there the dependencies are those the binaries' NEEDED
  # entries name, at the sysroot's (bookworm's) versions.
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  set(zelm_cxx_runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
      "libdbus-1-3 (>= 1.9.14), libc-ares2 (>= 1.18), libldns3 (>= 1.8), ${zelm_cxx_runtime}")
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS ${zelm_cxx_runtime})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The host libraries are this project's own, in libzelmmdns0: dpkg-shlibdeps
  # finds them in the build tree, and the component dependencies name the package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/host)
endif()

include(CPack)
