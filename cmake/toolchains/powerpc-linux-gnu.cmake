# SPDX-License-Identifier: MIT
# The PowerPC cross build under its earlier name, for build trees and SDK set-ups
# that still name this file: linux-gnu.cmake with the PowerPC triplet.
set(FIELDKIT_TARGET_TRIPLET powerpc-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
