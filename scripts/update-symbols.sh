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
# Symbols already listed keep the version they first appeared in; new ones get this version.
ref=()
if [ -f debian/libxpcommonlib1.symbols ]; then ref=(-Idebian/libxpcommonlib1.symbols); fi
dpkg-gensymbols -plibxpcommonlib1 -v"$version" -P"$work/pkg" -O"$work/merged" -c0 "${ref[@]}" >/dev/null
# What the library exports now, to drop the symbols it no longer has (run outside the tree: in it
# dpkg-gensymbols would start from debian/libxpcommonlib1.symbols by itself).
(cd "$work" && dpkg-gensymbols -plibxpcommonlib1 -v"$version" -Ppkg -Ocurrent -c0 >/dev/null)
sed -n 's/^ \([^ ]*\) .*/\1/p' "$work/current" | sort -u >"$work/current-names"
{
    head -n1 "$work/merged"
    echo "* Build-Depends-Package: libxpcommonlib-dev"
    tail -n +2 "$work/merged" | grep -v '^[*#]' | sed -E 's/^ \([^)]*\)/ /' |
        grep -F -f <(sed 's/.*/ & /' "$work/current-names") | sed -E \
        -e 's/^ (_Z(N|NK|ZN|ZNK)?(St|9__gnu_cxx)|_ZT[ISV]St|_ZSt)/ (optional=templinst)\1/'
} >debian/libxpcommonlib1.symbols
# Symbols the old list had and the library lost: programs built against them will not load.
removed=$(tail -n +2 "$work/merged" | grep -v '^\*' | sed -E 's/^(#MISSING: [^#]*#)? (\([^)]*\))?([^ ]*) .*/\3/' |
    grep -vxF -f "$work/current-names" || true)
echo "update-symbols: debian/libxpcommonlib1.symbols now lists $(grep -c '@Base' debian/libxpcommonlib1.symbols) symbols"
if [ -n "$removed" ]; then
    echo "update-symbols: REMOVED from the library (an ABI break once a version was released; then the SONAME must change):"
    echo "$removed" | sed 's/^/  /'
fi
git --no-pager diff --stat -- debian/libxpcommonlib1.symbols || true
