# The Debian packages, built by CPack from the install components (`make package`,
# or `cpack -G DEB` in a build tree). Included last, once every install rule of
# the project is known:
#   toruna      the components runtime and web: programs, manual pages, desktop
#               files, the services; its run-time dependencies found by
#               dpkg-shlibdeps.
#   toruna-dev  the component dev (headers, static library, pkg-config and CMake
#               files for client programs). It depends on nothing at run time and
#               is built only once a rule installs something with COMPONENT dev:
#               CPack makes one package per component that has install rules.

set(TORUNA_PACKAGE_MAINTAINER "Velmor Software <toruna@velmor-software.example>"
    CACHE STRING "Maintainer field of the Debian packages")

get_cmake_property(TORUNA_COMPONENTS COMPONENTS)
get_property(TORUNA_UNITS GLOBAL PROPERTY TORUNA_UNITS)
list(JOIN TORUNA_UNITS " " TORUNA_UNITS)

# Each package carries its copyright and changelog, as Debian requires.
string(TIMESTAMP TORUNA_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz
  COMMAND ${GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(toruna_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz)
add_dependencies(toruna_package_files toruna_changelog)
foreach(component runtime dev)
  if(component IN_LIST TORUNA_COMPONENTS)
    set(package toruna)
    if(component STREQUAL "dev")
      set(package toruna-dev)
    endif()
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                  ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides)
      install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides
              DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
              COMPONENT ${component})
    endif()
  endif()
endforeach()

# Maintainer scripts: systemd learns of the units; nothing is enabled or started.
# (deb-systemd-invoke, which they use, comes with an essential package.)
set(control ${CMAKE_BINARY_DIR}/packaging/debian/control)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${control}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(conffiles "/etc/toruna/Velmor Software.conf\n")
if(TARGET toruna-bridge)
  string(APPEND conffiles "/etc/toruna/bridge.conf\n")
endif()
if(TARGET toruna-web)
  string(APPEND conffiles "/etc/toruna/web.conf\n")
endif()
file(WRITE ${control}/conffiles "${conffiles}")

# CPack installs what is built and builds nothing: `make package` builds
# toruna_package_files, which are the files installed from packaging/ and every
# target of src/ and tools/ (programs and libraries, whatever a component
# installs), and no test or benchmark.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
function(toruna_package_targets_of dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      add_dependencies(toruna_package_files ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    toruna_package_targets_of(${subdir})
  endforeach()
endfunction()
toruna_package_targets_of(${PROJECT_SOURCE_DIR}/src)
toruna_package_targets_of(${PROJECT_SOURCE_DIR}/tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME toruna)
set(CPACK_PACKAGE_VENDOR "Velmor Software")
set(CPACK_PACKAGE_CONTACT "${TORUNA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Named explicitly: with one component alone CPack would otherwise make a single
# package without the component's settings below.
set(CPACK_COMPONENTS_ALL ${TORUNA_COMPONENTS})
# The web dashboard's component goes into the package of the runtime: one
# group, one package (its own package later is a matter of leaving it out).
set(CPACK_COMPONENT_RUNTIME_GROUP runtime)
set(CPACK_COMPONENT_WEB_GROUP runtime)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME toruna)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${control}/conffiles ${control}/postinst ${control}/prerm ${control}/postrm)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "event-relay server for a local network
Toruna relays events between the client programs of a local network. Clients
find the server by UDP broadcast (port 9666), register over TCP (port 13131),
create named events and subscribe to each other's events; the server passes
each one-byte value to the subscribers only and tells an event's owner when
its first subscriber arrives and when the last one leaves.

The package holds toruna-server, which runs in the desktop's notification area
with a log window or headless as the systemd service toruna.service (installed,
not enabled), the command-line client toruna-cli, and toruna-bridge, which
bridges a server's events into an MQTT broker and back (as the service
toruna-bridge.service, installed, not enabled), and toruna-web, a live
dashboard of the servers in the browser with Prometheus metrics (as the service
toruna-web.service, installed, not enabled).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME toruna-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ client library for the Toruna event-relay server
Headers and static library for programs that find Toruna servers on the local
network, register with one, and create, publish and subscribe to events, with
a pkg-config file (toruna-client) and a CMake package (find_package(toruna)).")

# `make package_source` would otherwise take the build trees along.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/bench/results/")

include(CPack)
