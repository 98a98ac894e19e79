# SPDX-License-Identifier: MIT
SUMMARY = "C++ class library for embedded Linux"
DESCRIPTION = "fieldkit: local and IPv4 sockets with multicast, a threaded stream \
server, a string class, owning arrays, a millisecond clock and a cross-process lock, \
in one shared library."
SECTION = "libs"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=972282cb74f964740bb7ffaed648dbff"

# Point SRC_URI and SRCREV at the fieldkit repository and the release commit
# of this version (or build a local checkout with EXTERNALSRC).
SRC_URI = "git://git.example.com/fieldkit.git;protocol=https;branch=main"
SRCREV = "${AUTOREV}"
PV = "1.1.0+git"

S = "${WORKDIR}/git"

inherit cmake pkgconfig ptest

# The test programs and examples are built and installed into ${PN}-ptest
# (${libdir}/fieldkit/ptest, with run-ptest) only when the distro has ptest.
PACKAGECONFIG ??= "${@bb.utils.filter('DISTRO_FEATURES', 'ptest', d)}"
PACKAGECONFIG[ptest] = "-DBUILD_TESTING=ON -DFIELDKIT_BUILD_EXAMPLES=ON -DFIELDKIT_INSTALL_TESTS=ON,-DBUILD_TESTING=OFF -DFIELDKIT_BUILD_EXAMPLES=OFF,googletest"

EXTRA_OECMAKE += "-DFIELDKIT_BUILD_BENCH=OFF"

# The multicast test between network namespaces needs the ip command (and root).
RDEPENDS:${PN}-ptest += "iproute2-ip"
