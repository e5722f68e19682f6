# Debian packages, made by CPack from the install components
# (cmake/QelInstall.cmake): `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/packages.sh does it for amd64, i386
# and powerpc). The stand-ins are never packaged.
#
#   libqeldiagutils1      runtime     the library, named after its SONAME
#   libqeldiagutils-dev   dev         headers, CMake package, pkg-config
#   libqeldiagexport1     export      the exporters
#   libqeldiaghttp1       http        the status server
#   libqeldiagpush1       push        remote write with store and forward
#   libqeldiagexport-dev  export-dev  their headers, CMake targets, pkg-config,
#                                     and the alerting rules
#   qel-top               top         the terminal view of a host's statistics
#
# Shared-library dependencies come from dpkg-shlibdeps where the machine has
# the target's libraries as packages (a native build); a cross build names
# them itself, from QEL_DEB_DEPENDS_* below.
set(QEL_DEB_MAINTAINER "QelDiagUtils maintainers <maintainers@users.noreply.c-seed-ccb4a2c9.example>")

# Debian's name of the target architecture.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(QEL_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
  set(QEL_DEB_ARCH i386)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
  set(QEL_DEB_ARCH powerpc)
else()
  set(QEL_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(QEL_DEB_COMPONENTS runtime dev)
set(QEL_DEB_runtime_NAME libqeldiagutils1)
set(QEL_DEB_dev_NAME libqeldiagutils-dev)
if(QEL_WITH_EXPORT)
  list(APPEND QEL_DEB_COMPONENTS export export-dev)
endif()
if(QEL_WITH_HTTP)
  list(APPEND QEL_DEB_COMPONENTS http)
endif()
if(QEL_WITH_PUSH)
  list(APPEND QEL_DEB_COMPONENTS push)
endif()
if(QEL_WITH_TOP)
  list(APPEND QEL_DEB_COMPONENTS top)
endif()
set(QEL_DEB_top_NAME qel-top)
set(QEL_DEB_export_NAME libqeldiagexport1)
set(QEL_DEB_http_NAME libqeldiaghttp1)
set(QEL_DEB_push_NAME libqeldiagpush1)
set(QEL_DEB_export-dev_NAME libqeldiagexport-dev)

# Each package carries the copyright file and a changelog, as Debian asks.
set(QEL_DEB_DOC ${PROJECT_BINARY_DIR}/deb-doc)
configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/copyright ${QEL_DEB_DOC}/copyright COPYONLY)
string(TIMESTAMP QEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
# (A native package: its changelog is changelog.gz.)
file(WRITE ${QEL_DEB_DOC}/changelog
     "qeldiagutils (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Built with CPack from the CMake install components.\n\n"
     " -- ${QEL_DEB_MAINTAINER}  ${QEL_DEB_DATE}\n")
execute_process(COMMAND gzip -9nf ${QEL_DEB_DOC}/changelog)
foreach(component IN LISTS QEL_DEB_COMPONENTS)
  install(FILES ${QEL_DEB_DOC}/copyright ${QEL_DEB_DOC}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QEL_DEB_${component}_NAME}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qeldiagutils)
set(CPACK_PACKAGE_VENDOR "QelDiagUtils")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QEL_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${QEL_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QEL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SOURCE qeldiagutils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/qeldiagutils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# The libraries this build makes, where dpkg-shlibdeps is to find them: the
# host's logging library (a stand-in here) and the project's own, which the
# packages' dependencies on each other already cover.
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/host
      ${PROJECT_BINARY_DIR}/src ${PROJECT_BINARY_DIR}/export)
endif()
# A cross build's dependencies, in Debian's package names.
# (The NEEDED entries of each library, less the host's libdlog, which no
# package provides: the host brings it.)
set(QEL_DEB_DEPENDS_runtime "libace-7.0.8, libc6, libgcc-s1, libstdc++6" CACHE STRING
    "Depends of libqeldiagutils1 in a cross build")
set(QEL_DEB_DEPENDS_export "libc6, libgcc-s1, libstdc++6" CACHE STRING
    "Depends of libqeldiagexport1 in a cross build")
set(QEL_DEB_DEPENDS_http
    "libmicrohttpd12, libgnutls30, libyaml-cpp0.7, libcrypt1, libprometheus-cpp-core1.0, libc6, libgcc-s1, libstdc++6"
    CACHE STRING "Depends of libqeldiaghttp1 in a cross build")
# libcurl's package: Debian's libcurl4 (on OpenSSL), or libcurl3-gnutls where
# the target's libcurl is built on GnuTLS (PowerPC).
set(QEL_DEB_CURL_PACKAGE libcurl4 CACHE STRING "The package of libcurl in a cross build")
set(QEL_DEB_DEPENDS_top "${QEL_DEB_CURL_PACKAGE}, libncursesw6, libtinfo6, libc6, libgcc-s1, libstdc++6"
    CACHE STRING "Depends of qel-top in a cross build")
set(QEL_DEB_DEPENDS_push
    "${QEL_DEB_CURL_PACKAGE}, libsnappy1v5, libyaml-cpp0.7, libc6, libgcc-s1, libstdc++6"
    CACHE STRING "Depends of libqeldiagpush1 in a cross build")

set(QEL_DEB_runtime_SUMMARY "run-time diagnostic statistics for server processes")
set(QEL_DEB_runtime_SECTION libs)
set(QEL_DEB_dev_SUMMARY "run-time diagnostic statistics for server processes - development files")
set(QEL_DEB_dev_SECTION libdevel)
set(QEL_DEB_export_SUMMARY "run-time diagnostic statistics - Prometheus and JSON exporters")
set(QEL_DEB_export_SECTION libs)
set(QEL_DEB_http_SUMMARY "run-time diagnostic statistics - status server")
set(QEL_DEB_http_SECTION libs)
set(QEL_DEB_push_SUMMARY "run-time diagnostic statistics - remote write")
set(QEL_DEB_push_SECTION libs)
set(QEL_DEB_top_SUMMARY "run-time diagnostic statistics - terminal view")
set(QEL_DEB_top_SECTION utils)
set(QEL_DEB_export-dev_SUMMARY "run-time diagnostic statistics - exporters' development files")
set(QEL_DEB_export-dev_SECTION libdevel)
# The extended description: CPack indents it, and makes an empty line " .".
set(QEL_DEB_BODY
    "libQelDiagUtils gathers event counts over the last minute, hour and day,\n"
    "peaks per second, high-water marks and longest latencies inside a server\n"
    "process and renders them as a three-line report. It runs inside a host\n"
    "that provides ACE, a logging library (libdlog), a mutex, a timer manager\n"
    "and time conversion.\n\n")
string(CONCAT QEL_DEB_BODY ${QEL_DEB_BODY})
set(QEL_DEB_runtime_MORE "This package holds the shared library.")
set(QEL_DEB_dev_MORE "This package holds its headers, CMake package and pkg-config file.")
set(QEL_DEB_export_MORE "This package holds the exporters: a prometheus::Collectable and JSON.")
set(QEL_DEB_http_MORE "This package holds the status server: /metrics, /stats.json and a page.")
set(QEL_DEB_push_MORE
    "This package holds the push add-on: the statistics sent to a Prometheus\n"
    "remote-write receiver, kept in memory or on disk while the link is down.")
string(CONCAT QEL_DEB_push_MORE ${QEL_DEB_push_MORE})
set(QEL_DEB_top_MORE
    "This package holds qel-top, which shows a running host's statistics in a\n"
    "terminal (a serial console will do), read from its status server.")
string(CONCAT QEL_DEB_top_MORE ${QEL_DEB_top_MORE})
set(QEL_DEB_export-dev_MORE
    "This package holds the exporters', the status server's and the push\n"
    "add-on's headers, CMake targets and pkg-config files, and alerting rules\n"
    "for Prometheus.")
string(CONCAT QEL_DEB_export-dev_MORE ${QEL_DEB_export-dev_MORE})

set(QEL_DEB_dev_DEPENDS "libace-dev")
set(QEL_DEB_export-dev_DEPENDS "prometheus-cpp-dev")
foreach(component IN LISTS QEL_DEB_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${QEL_DEB_${component}_NAME})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${QEL_DEB_${component}_SECTION})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION
      "${QEL_DEB_${component}_SUMMARY}\n${QEL_DEB_BODY}${QEL_DEB_${component}_MORE}")
  set(depends "${QEL_DEB_${component}_DEPENDS}")
  if(CMAKE_CROSSCOMPILING AND QEL_DEB_DEPENDS_${component})
    string(JOIN ", " depends ${depends} ${QEL_DEB_DEPENDS_${component}})
  endif()
  if(depends)
    set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
  endif()
endforeach()
# The shlibs file of each library package, and the ldconfig trigger it needs
# in place of the maintainer scripts that CPack writes (and that
# DropLdconfigScripts.cmake takes out again): without scripts, dpkg -r
# leaves no package behind in the config-files state, and lintian finds no
# maintscript-calls-ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb/DropLdconfigScripts.cmake)
foreach(library runtime export http push)
  string(TOUPPER ${library} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/triggers)
endforeach()

include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component(export DEPENDS runtime)
cpack_add_component(http DEPENDS export)
cpack_add_component(top)
cpack_add_component(push DEPENDS export)
set(QEL_EXPORT_DEV_DEPENDS export dev)
if(QEL_WITH_HTTP)
  list(APPEND QEL_EXPORT_DEV_DEPENDS http)
endif()
if(QEL_WITH_PUSH)
  list(APPEND QEL_EXPORT_DEV_DEPENDS push)
endif()
cpack_add_component(export-dev DEPENDS ${QEL_EXPORT_DEV_DEPENDS})
