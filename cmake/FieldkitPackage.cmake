# SPDX-License-Identifier: MIT
# Debian packages through CPack: libfieldkit1 (component `runtime`) and
# libfieldkit-dev (component `dev`). `cpack -G DEB` in a release build tree;
# a cross build names its Debian architecture in its toolchain file.
set(FIELDKIT_DEB_MAINTAINER "The fieldkit authors <fieldkit@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(FIELDKIT_DEB_REVISION 1 CACHE STRING "Debian revision of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fieldkit)
set(CPACK_PACKAGE_VENDOR "The fieldkit authors")
set(CPACK_PACKAGE_CONTACT "${FIELDKIT_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Both packages install to /usr; fieldkit.pc is written with the prefix that is installed to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${FIELDKIT_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# libfieldkit1's Depends come from dpkg-shlibdeps when cpack runs (see
# FieldkitDebDepends.cmake.in); its shlibs file promises the ABI of this
# version from now on. CPack's own shlibs generation is not used: it adds
# ldconfig calls to maintainer scripts, where dpkg's ldconfig trigger is the rule.
set(FIELDKIT_DEB_SHLIBDEPS_SEARCH "")
if(FIELDKIT_DEB_SYSROOT_LIBDIR)
  set(FIELDKIT_DEB_SHLIBDEPS_SEARCH "-l${FIELDKIT_DEB_SYSROOT_LIBDIR}")
endif()
configure_file(cmake/FieldkitDebDepends.cmake.in ${PROJECT_BINARY_DIR}/FieldkitDebDepends.cmake.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/FieldkitDebDepends.cmake
     INPUT ${PROJECT_BINARY_DIR}/FieldkitDebDepends.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/FieldkitDebDepends.cmake)

# Each package gets its own synopsis line; the project's one is left out of the
# descriptions by giving CPack its own default summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(fieldkit_deb_about
    "fieldkit is a C++17 class library for applications on embedded Linux:\nlocal and IPv4 sockets with multicast, a threaded stream server, a string\nclass, owning arrays, a millisecond clock and a cross-process lock.\n\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libfieldkit${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "C++ class library for embedded Linux - shared library\n${fieldkit_deb_about}This package contains the shared library.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers ${PROJECT_BINARY_DIR}/debian/shlibs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libfieldkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ class library for embedded Linux - development files\n${fieldkit_deb_about}This package contains the headers, the CMake package and the pkg-config file.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${PROJECT_VERSION}-${FIELDKIT_DEB_REVISION})")

# Every package carries its copyright file and Debian changelog, installed
# only when CPack asks for the component.
set(fieldkit_deb_dir ${PROJECT_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE fieldkit_license)
string(REGEX REPLACE "\n\n" "\n.\n" fieldkit_license "${fieldkit_license}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" fieldkit_license "${fieldkit_license}")
file(WRITE ${fieldkit_deb_dir}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: fieldkit\n\n"
     "Files: *\nCopyright: The fieldkit authors\nLicense: MIT\n\n"
     "License: MIT\n ${fieldkit_license}")
file(WRITE ${fieldkit_deb_dir}/changelog.Debian
     "fieldkit (${PROJECT_VERSION}-${FIELDKIT_DEB_REVISION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}; the changes are listed in CHANGELOG.md.\n\n"
     " -- ${FIELDKIT_DEB_MAINTAINER}  Sat, 05 Dec 2026 00:00:00 +0000\n")
file(WRITE ${fieldkit_deb_dir}/shlibs
     "libfieldkit ${PROJECT_VERSION_MAJOR} ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${PROJECT_VERSION})\n")
execute_process(COMMAND gzip -9nf ${fieldkit_deb_dir}/changelog.Debian)
foreach(component IN ITEMS runtime dev)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  configure_file(packaging/debian/lintian-overrides.in ${fieldkit_deb_dir}/${package}/${package} @ONLY)
  install(FILES ${fieldkit_deb_dir}/copyright ${fieldkit_deb_dir}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${fieldkit_deb_dir}/${package}/${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
