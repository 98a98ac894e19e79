#!/bin/sh
# SPDX-License-Identifier: MIT
# The Yocto recipe and the Buildroot package must name this version and carry
# the checksums of the real LICENSE file.
# Usage: check_recipes.sh SOURCE_DIR VERSION
set -eu
src=$1 version=$2
recipe=$src/contrib/yocto/fieldkit_$version.bb
br=$src/contrib/buildroot/fieldkit

fail() { echo "$*" >&2; exit 1; }

[ -f "$recipe" ] || fail "no Yocto recipe for $version: $recipe"
md5=$(md5sum "$src/LICENSE" | cut -d' ' -f1)
grep -q "^LIC_FILES_CHKSUM = \"file://LICENSE;md5=$md5\"$" "$recipe" ||
    fail "LIC_FILES_CHKSUM in $recipe is not md5=$md5"

grep -q "^FIELDKIT_VERSION = $version$" "$br/fieldkit.mk" || fail "fieldkit.mk does not name version $version"
sha=$(sha256sum "$src/LICENSE" | cut -d' ' -f1)
grep -q "^sha256  $sha  LICENSE$" "$br/fieldkit.hash" || fail "fieldkit.hash has no sha256 $sha for LICENSE"
echo "recipes: version $version, LICENSE md5 $md5, sha256 $sha"
