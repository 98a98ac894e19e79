# SPDX-License-Identifier: MIT
# Installs the library (component `runtime`), its headers, the .so link, an
# exported CMake package and a pkg-config file (component `dev`).
include(CMakePackageConfigHelpers)

install(TARGETS fieldkit EXPORT fieldkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        FILE_SET generated_headers DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(FIELDKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fieldkit)
install(EXPORT fieldkitTargets NAMESPACE fieldkit:: DESTINATION ${FIELDKIT_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/fieldkitConfig.cmake.in
        ${PROJECT_BINARY_DIR}/fieldkitConfig.cmake INSTALL_DESTINATION ${FIELDKIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/fieldkitConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/fieldkitConfig.cmake ${PROJECT_BINARY_DIR}/fieldkitConfigVersion.cmake
        DESTINATION ${FIELDKIT_CMAKE_DIR} COMPONENT dev)

# fieldkit.pc names its prefix as an absolute path: pkg-config then adds a
# sysroot exactly once. The prefix is the one installed to (also with
# `cmake --install --prefix DIR`), so the file is completed at install time.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(FIELDKIT_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(FIELDKIT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(FIELDKIT_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(FIELDKIT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(FIELDKIT_PC_PREFIX "@FIELDKIT_PC_PREFIX@")
configure_file(cmake/fieldkit.pc.in ${PROJECT_BINARY_DIR}/fieldkit.pc.in @ONLY)
install(CODE "set(FIELDKIT_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/fieldkit.pc.in\" \"${PROJECT_BINARY_DIR}/fieldkit.pc\" @ONLY)"
  COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/fieldkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
