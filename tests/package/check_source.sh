#!/usr/bin/env bash
# Checks that the packaging in TREE (default: this source tree) is for the release the
# source is: the upstream part of debian/changelog's newest version (without the epoch
# and the Debian revision, which are the distribution's) is the version project() in
# CMakeLists.txt gives. Nothing of the build reads debian/, so this is where the two are
# held together.
#
#   check_source.sh [TREE]
set -euo pipefail
tree=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
source=$(sed -n 's/^project(Horalis VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$tree/CMakeLists.txt")
packaged=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
upstream=${packaged#*:}
if [[ "$upstream" != *-* ]]; then
    echo "FAIL: debian/changelog's version $packaged has no Debian revision: a native" \
        "version, which 3.0 (quilt) refuses" >&2
    exit 1
fi
upstream=${upstream%-*}
if [ -z "$source" ] || [ "$upstream" != "$source" ]; then
    echo "FAIL: debian/changelog's version $packaged is of upstream $upstream;" \
        "the source is ${source:-of no version} (project() in CMakeLists.txt)" >&2
    exit 1
fi
echo "debian/changelog's $packaged is of this release, $source"
