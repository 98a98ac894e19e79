################################################################################
#
# fieldkit
#
################################################################################

# SPDX-License-Identifier: MIT

FIELDKIT_VERSION = 1.1.0
# Built from the fieldkit checkout that holds this BR2_EXTERNAL tree; for a
# release tarball set FIELDKIT_SITE to its URL and add its sha256 to fieldkit.hash.
FIELDKIT_SITE = $(BR2_EXTERNAL_FIELDKIT_PATH)/../..
FIELDKIT_SITE_METHOD = local
FIELDKIT_LICENSE = MIT
FIELDKIT_LICENSE_FILES = LICENSE
FIELDKIT_INSTALL_STAGING = YES
# libfieldkit.a alone in a static-only system (BR2_STATIC_LIBS), as
# cmake-package decides for every CMake package.
FIELDKIT_CONF_OPTS = \
	-DBUILD_SHARED_LIBS=$(if $(BR2_STATIC_LIBS),OFF,ON) \
	-DFIELDKIT_BUILD_EXAMPLES=OFF \
	-DFIELDKIT_BUILD_BENCH=OFF

$(eval $(cmake-package))
