#!/usr/bin/env bash
# Rewrites debian/libxpcommonlib1.symbols from the library in the last package build
# (build/deb/, made by scripts/package.sh). Run it after the exported interface changed on
# purpose, and review the diff: a removed symbol breaks programs built against an earlier version
# and needs a new SONAME instead.
#
# Instantiations of the standard library's templates (std::vector<...>::_M_realloc_insert and
# the like) are exported only because libstdc++ gives its namespace default visibility; which of
# them exist depends on the compiler and on the library's internals, so they are marked optional.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls build/deb/libxpcommonlib1_*.deb 2>/dev/null | head -n1)
if [ -z "$deb" ]; then
    echo "update-symbols: no build/deb/libxpcommonlib1_*.deb; run scripts/package.sh first" >&2
    exit 1
fi
version=$(dpkg-deb -f "$deb" Version)
version=${version%%-*}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/pkg"
mkdir -p "$work/pkg/DEBIAN"
# Symbols already listed keep the version they first appeared in.
ref=()
if [ -f debian/libxpcommonlib1.symbols ]; then ref=(-Idebian/libxpcommonlib1.symbols); fi
dpkg-gensymbols -plibxpcommonlib1 -v"$version" -P"$work/pkg" -O"$work/symbols" -c0 "${ref[@]}" >/dev/null
{
    head -n1 "$work/symbols"
    echo "* Build-Depends-Package: libxpcommonlib-dev"
    tail -n +2 "$work/symbols" | grep -v '^\*' | sed -E \
        -e 's/^ (\(optional=templinst\))?(_Z(N|NK|ZN|ZNK)?(St|9__gnu_cxx)|_ZT[ISV]St|_ZSt)/ (optional=templinst)\2/'
} >debian/libxpcommonlib1.symbols
echo "update-symbols: debian/libxpcommonlib1.symbols now lists $(grep -c '@Base' debian/libxpcommonlib1.symbols) symbols"
git --no-pager diff --stat -- debian/libxpcommonlib1.symbols || true
