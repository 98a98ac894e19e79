# SPDX-License-Identifier: MIT
# Installs the library, its headers, an exported CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS fieldkit EXPORT fieldkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(FIELDKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fieldkit)
install(EXPORT fieldkitTargets NAMESPACE fieldkit:: DESTINATION ${FIELDKIT_CMAKE_DIR})
configure_package_config_file(cmake/fieldkitConfig.cmake.in
        ${PROJECT_BINARY_DIR}/fieldkitConfig.cmake INSTALL_DESTINATION ${FIELDKIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/fieldkitConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/fieldkitConfig.cmake ${PROJECT_BINARY_DIR}/fieldkitConfigVersion.cmake
        DESTINATION ${FIELDKIT_CMAKE_DIR})

# The .pc file finds the prefix relative to its own place, so the install can move.
file(RELATIVE_PATH FIELDKIT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/fieldkit.pc.in ${PROJECT_BINARY_DIR}/fieldkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/fieldkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
