# Installation: headers, libraries with their SONAME links, a CMake package
# (find_package(QelDiagUtils) -> QelDiagUtils::QelDiagUtils) and pkg-config
# files (QelDiagUtils, plus QelDiagUtilsHost for the stand-in host services).
include(CMakePackageConfigHelpers)

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelDiagUtils)
install(TARGETS QelDiagUtils dlog KwHostServices EXPORT QelDiagUtilsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(GLOB QEL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${QEL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QelDiagUtils)
install(EXPORT QelDiagUtilsTargets NAMESPACE QelDiagUtils:: DESTINATION ${QEL_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QelDiagUtilsConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QelDiagUtilsConfig.cmake
                              INSTALL_DESTINATION ${QEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelDiagUtilsConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QelDiagUtilsConfig.cmake
              ${PROJECT_BINARY_DIR}/QelDiagUtilsConfigVersion.cmake
        DESTINATION ${QEL_CMAKE_DIR})

# Relative to the .pc file, so an installed tree can be moved.
file(RELATIVE_PATH QEL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
foreach(pc QelDiagUtils QelDiagUtilsHost)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
