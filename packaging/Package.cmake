# The Debian packages, built by CPack from the install components (`make package`,
# or `cpack -G DEB` in a build tree), one package per component, split along
# Debian's usual lines so that a headless server pulls in no desktop and no
# MQTT library (the component list is in packaging/CMakeLists.txt). Included
# last, once every install rule of the project is known. Run-time dependencies
# are found by dpkg-shlibdeps.

set(TORUNA_PACKAGE_MAINTAINER "Velmor Software <toruna@velmor-software.example>"
    CACHE STRING "Maintainer field of the Debian packages")

get_cmake_property(TORUNA_COMPONENTS COMPONENTS)

# component -> package
set(TORUNA_PACKAGE_runtime toruna)
set(TORUNA_PACKAGE_tray toruna-tray)
set(TORUNA_PACKAGE_clients toruna-clients)
set(TORUNA_PACKAGE_bridge toruna-bridge)
set(TORUNA_PACKAGE_web toruna-web)
set(TORUNA_PACKAGE_lib libtoruna-client0)
set(TORUNA_PACKAGE_dev toruna-dev)
set(TORUNA_PACKAGE_python python3-toruna)
# conffiles, one per line ("Velmor Software.conf" with its blank: see
# debian/toruna.lintian-overrides)
set(TORUNA_CONFFILES_runtime "/etc/toruna/Velmor Software.conf")
set(TORUNA_CONFFILES_bridge "/etc/toruna/bridge.conf")
set(TORUNA_CONFFILES_web "/etc/toruna/web.conf")

# Each package carries its copyright and changelog, as Debian requires.
string(TIMESTAMP TORUNA_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz
  COMMAND ${GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(toruna_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz)
add_dependencies(toruna_package_files toruna_changelog)
foreach(component ${TORUNA_COMPONENTS})
  set(package ${TORUNA_PACKAGE_${component}})
  if(NOT package)
    continue()
  endif()
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component})
  endif()

  # Maintainer scripts for a package with services: systemd learns of its
  # units; nothing is enabled or started. (deb-systemd-invoke, which they use,
  # comes with an essential package.)
  set(control ${CMAKE_BINARY_DIR}/packaging/debian/${package})
  set(extra "")
  get_property(units GLOBAL PROPERTY TORUNA_UNITS_${component})
  if(units)
    list(JOIN units " " TORUNA_UNITS)
    foreach(script postinst prerm postrm)
      configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${control}/${script} @ONLY
                     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
      list(APPEND extra ${control}/${script})
    endforeach()
  endif()
  if(TORUNA_CONFFILES_${component})
    file(WRITE ${control}/conffiles "${TORUNA_CONFFILES_${component}}\n")
    list(APPEND extra ${control}/conffiles)
  endif()
  set(CPACK_DEBIAN_${C}_PACKAGE_CONTROL_EXTRA ${extra})
  set(CPACK_DEBIAN_${C}_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_${C}_PACKAGE_SECTION net)
endforeach()

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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(TORUNA_VERSION_DEP "(= ${PROJECT_VERSION})")

set(TORUNA_ABOUT "Toruna relays events between the client programs of a local network.
Clients find the server by UDP broadcast (port 9666), register over TCP (port
13131), create named events and subscribe to each other's events; the server
passes each one-byte value to the subscribers only and tells an event's owner
when its first subscriber arrives and when the last one leaves.")

set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "event-relay server for a local network
${TORUNA_ABOUT}

This package holds the headless server, toruna-server, and its systemd service
toruna.service (installed, not enabled). By default the service serves only
loopback, link-local and private addresses.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "toruna-clients")

set(CPACK_DEBIAN_TRAY_DESCRIPTION "event-relay server in the desktop's notification area
${TORUNA_ABOUT}

This package holds toruna-tray, the same server with an icon in the desktop's
notification area and a log window, its menu entry and an autostart entry.")
set(CPACK_DEBIAN_TRAY_PACKAGE_SUGGESTS "toruna-clients")

set(CPACK_DEBIAN_CLIENTS_DESCRIPTION "command-line client for the Toruna event-relay server
${TORUNA_ABOUT}

This package holds toruna-cli, which finds servers, watches their events and
publishes values, for people and for scripts.")

set(CPACK_DEBIAN_BRIDGE_DESCRIPTION "bridge between a Toruna event-relay server and MQTT
${TORUNA_ABOUT}

This package holds toruna-bridge, which bridges a server's events into an MQTT
broker and back (with Home Assistant discovery), and its systemd service
toruna-bridge.service (installed, not enabled).")

set(CPACK_DEBIAN_WEB_DESCRIPTION "live web dashboard of Toruna event-relay servers
${TORUNA_ABOUT}

This package holds toruna-web, a live dashboard of the servers in the browser
with Prometheus metrics, and its systemd service toruna-web.service
(installed, not enabled).")

set(CPACK_DEBIAN_LIB_DESCRIPTION "client library for the Toruna event-relay server
${TORUNA_ABOUT}

This package holds the shared library for programs that find Toruna servers
on the local network, register with one, and create, publish and subscribe to
events.")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# Its shlibs file (what a program linked with it depends on) and the trigger
# that runs ldconfig once per dpkg run, as Debian's library packages have them;
# CPack's own would call ldconfig from maintainer scripts instead.
set(lib_control ${CMAKE_BINARY_DIR}/packaging/debian/libtoruna-client0)
file(WRITE ${lib_control}/shlibs "libtoruna-client 0 libtoruna-client0 (>= ${PROJECT_VERSION})\n")
file(WRITE ${lib_control}/triggers "activate-noawait ldconfig\n")
# Scripts of its own keep CPack from writing its ldconfig calls.
foreach(script postinst postrm)
  file(WRITE ${lib_control}/${script}.in "#!/bin/sh\n# ldconfig runs from the trigger (triggers).\nset -e\nexit 0\n")
  configure_file(${lib_control}/${script}.in ${lib_control}/${script} COPYONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${lib_control}/shlibs ${lib_control}/triggers
    ${lib_control}/postinst ${lib_control}/postrm)

set(CPACK_DEBIAN_DEV_DESCRIPTION "client library for the Toruna event-relay server (development)
${TORUNA_ABOUT}

This package holds the headers under <toruna/...>, a pkg-config file
(toruna-client), a CMake package (find_package(toruna)), the manual page
toruna-client(3) and examples.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtoruna-client0 ${TORUNA_VERSION_DEP}")

set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python client for the Toruna event-relay server
${TORUNA_ABOUT}

This package holds the Python 3 package toruna (asyncio): discovery, events
and subscriptions.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.11)")

# `make package_source` would otherwise take the build trees along.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/bench/results/")

include(CPack)
