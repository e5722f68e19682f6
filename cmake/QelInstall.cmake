# Installation.
#
# The default install (`cmake --install build`) is what a host needs: the
# library with its SONAME links, its public headers (under
# include/QelDiagUtils), the CMake package and QelDiagUtils.pc. The host's own
# logging library, mutex, timer manager and time conversion are not part of
# it: on a board they come from the host.
#
# Components, which the Debian packages follow (cmake/QelPackaging.cmake):
#   runtime     libQelDiagUtils.so.1                  libqeldiagutils1
#   dev         headers, the .so link, CMake package, libqeldiagutils-dev
#               QelDiagUtils.pc
#   export      libQelDiagExport.so.1                 libqeldiagexport1
#   http        libQelDiagHttp.so.1                   libqeldiaghttp1
#   push        libQelDiagPush.so.1                   libqeldiagpush1
#   export-dev  their headers, links, CMake targets,  libqeldiagexport-dev
#               .pc files, and the alerting rules
#   standins    never packaged (below)
#
# The stand-ins of this project for those host services install only on
# request, as the component `standins` (`cmake --install build --component
# standins`): their headers under include/QelDiagUtilsHost, libdlog and
# libKwHostServices, QelDiagUtilsHost.pc, and a CMake package of their own,
# QelDiagUtilsHost, with the targets QelDiagUtils::dlog and
# QelDiagUtils::KwHostServices. The library's package finds it wherever
# CMAKE_PREFIX_PATH leads, so the stand-ins may sit in another prefix than
# the library (the Debian packages in /usr, the stand-ins in a folder).
include(CMakePackageConfigHelpers)

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelDiagUtils)
install(TARGETS QelDiagUtils EXPORT QelDiagUtilsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
file(GLOB QEL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${QEL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QelDiagUtils
        COMPONENT dev)
install(EXPORT QelDiagUtilsTargets NAMESPACE QelDiagUtils:: DESTINATION ${QEL_CMAKE_DIR}
        COMPONENT dev)

install(TARGETS dlog KwHostServices EXPORT QelDiagUtilsStandinsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standins EXCLUDE_FROM_ALL)
file(GLOB QEL_STANDIN_HEADERS ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${QEL_STANDIN_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QelDiagUtilsHost
        COMPONENT standins EXCLUDE_FROM_ALL)
set(QEL_HOST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelDiagUtilsHost)
install(EXPORT QelDiagUtilsStandinsTargets NAMESPACE QelDiagUtils::
        DESTINATION ${QEL_HOST_CMAKE_DIR} COMPONENT standins EXCLUDE_FROM_ALL)
file(WRITE ${PROJECT_BINARY_DIR}/QelDiagUtilsHostConfig.cmake
     "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)\n"
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/QelDiagUtilsStandinsTargets.cmake\")\n")
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelDiagUtilsHostConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QelDiagUtilsHostConfig.cmake
              ${PROJECT_BINARY_DIR}/QelDiagUtilsHostConfigVersion.cmake
        DESTINATION ${QEL_HOST_CMAKE_DIR} COMPONENT standins EXCLUDE_FROM_ALL)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QelDiagUtilsConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QelDiagUtilsConfig.cmake
                              INSTALL_DESTINATION ${QEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelDiagUtilsConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QelDiagUtilsConfig.cmake
              ${PROJECT_BINARY_DIR}/QelDiagUtilsConfigVersion.cmake
        DESTINATION ${QEL_CMAKE_DIR} COMPONENT dev)

# Relative to the .pc file, so an installed tree can be moved.
file(RELATIVE_PATH QEL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
foreach(pc QelDiagUtils QelDiagUtilsHost QelDiagExport QelDiagHttp QelDiagPush)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/QelDiagUtils.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
if(QEL_WITH_EXPORT)
  install(FILES ${PROJECT_BINARY_DIR}/QelDiagExport.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT export-dev)
endif()
if(QEL_WITH_HTTP)
  install(FILES ${PROJECT_BINARY_DIR}/QelDiagHttp.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT export-dev)
endif()
if(QEL_WITH_PUSH)
  install(FILES ${PROJECT_BINARY_DIR}/QelDiagPush.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT export-dev)
endif()
install(FILES ${PROJECT_BINARY_DIR}/QelDiagUtilsHost.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT standins EXCLUDE_FROM_ALL)
