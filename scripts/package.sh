#!/usr/bin/env bash
# Builds the Debian packages (see debian/control and docs/packaging.md) from a copy of the tree under
# build/deb/, so dpkg-buildpackage writes its .deb, .buildinfo and .changes files into build/deb/
# and nothing outside the tree, then runs lintian on them and prints where the packages are.
# Missing build dependencies are installed from debian/control (as root). The test suites are
# not run inside the package build (scripts/test.sh runs them); JOBS sets the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/deb
jobs=${JOBS:-2}
version=$(dpkg-parsechangelog -S Version)
source=$(dpkg-parsechangelog -S Source)

if ! dpkg-checkbuilddeps 2>/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        dpkg-checkbuilddeps
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 ./
fi

rm -rf "$out"
mkdir -p "$out/$source-$version"
# The tree as it is now (uncommitted changes included), without earlier builds or Git's data.
tar -C "$root" --exclude=./build --exclude=./.git --exclude=./install -cf - . | tar -C "$out/$source-$version" -xf -
(
    cd "$out/$source-$version"
    DEB_BUILD_OPTIONS="nocheck parallel=$jobs" dpkg-buildpackage -us -uc -b --build-profiles=nocheck
)
rm -rf "${out:?}/$source-$version"

changes=$(ls "$out"/*.changes)
echo "=== lintian ==="
# Clean at every level down to pedantic: any tag fails, and nothing may be silenced by an override
# (a file that lintian would read, in the tree or in a package). Experimental tags are left out:
# they are lintian's trials, not its advice (duplicate-files, for one, names the search box's
# index files of the API reference that happen to hold the same entries).
overrides=$(find debian -name '*lintian-overrides*')
[ -z "$overrides" ] || { echo "package: lintian overrides are not allowed: $overrides" >&2; exit 1; }
lintian --pedantic --display-info --info --show-overrides \
    --fail-on error,warning,info,pedantic,override "$changes"
echo "lintian --pedantic: no tags"
echo "Packages:"
ls -1 "$out"/*.deb
