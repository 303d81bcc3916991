#!/usr/bin/env bash
# Shows that the Debian packages build reproducibly: builds them twice, from two copies of the tree
# in folders of different names and depths, the second build started later, with different
# umasks and time zones, and compares the .deb files byte for byte. dpkg-buildpackage sets
# SOURCE_DATE_EPOCH from debian/changelog (the time stamps in the archives, the man pages' dates)
# and maps the build folder out of the compiled programs (-ffile-prefix-map); this shows that
# nothing else of the build's place or time gets in. On a difference it names the files inside
# the packages that differ (and runs diffoscope on them when it is installed).
#
# Two full package builds without a compiler cache: 2 to 3 minutes on 2 cores (each build 55 to 90 s
# here), as long again as the whole package check. Not part of
# scripts/test.sh for that reason. Needs dpkg-buildpackage and the build dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/reproducible
jobs=${JOBS:-2}
version=$(dpkg-parsechangelog -S Version)
source=$(dpkg-parsechangelog -S Source)

fail() { echo "check-reproducible: $*" >&2; exit 1; }
command -v dpkg-buildpackage >/dev/null || fail "dpkg-buildpackage is missing"
dpkg-checkbuilddeps || fail "build dependencies are missing (scripts/package.sh installs them)"

rm -rf "$work"
# Different names and lengths: a build path that leaks into a file changes its bytes.
dirs=("$work/a" "$work/second/build/at/another/depth")
masks=(022 002)
zones=(UTC Pacific/Kiritimati)
for i in 0 1; do
    dir=${dirs[$i]}
    mkdir -p "$dir/$source-$version"
    tar -C "$root" --exclude=./build --exclude=./.git --exclude=./install -cf - . | tar -C "$dir/$source-$version" -xf -
    started=$(date +%s)
    (
        cd "$dir/$source-$version"
        umask "${masks[$i]}"
        TZ=${zones[$i]} DEB_BUILD_OPTIONS="nocheck parallel=$jobs" \
            dpkg-buildpackage -us -uc -b --build-profiles=nocheck >"$dir/build.log" 2>&1
    ) || { tail -n 40 "$dir/build.log"; fail "build $((i + 1)) failed (log: $dir/build.log)"; }
    rm -rf "${dir:?}/$source-$version"
    echo "check-reproducible: build $((i + 1)) in $dir took $(( $(date +%s) - started )) s"
    # The second build starts at a later second than the first one ended, whatever its speed.
    sleep 1
done

a=${dirs[0]}
b=${dirs[1]}
differ=0
count=0
for deb in "$a"/*.deb; do
    name=$(basename "$deb")
    count=$((count + 1))
    if [ ! -f "$b/$name" ]; then
        echo "only the first build made $name"
        differ=1
    elif cmp -s "$deb" "$b/$name"; then
        echo "identical: $name ($(sha256sum <"$deb" | cut -c1-16))"
    else
        differ=1
        echo "DIFFERENT: $name"
        rm -rf "$work/x1" "$work/x2"
        dpkg-deb -R "$deb" "$work/x1"
        dpkg-deb -R "$b/$name" "$work/x2"
        diff -rq "$work/x1" "$work/x2" | sed 's/^/  /' || true
        diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$b/$name") | sed 's/^/  /' || true
        if command -v diffoscope >/dev/null; then diffoscope "$deb" "$b/$name" || true; fi
    fi
done
for deb in "$b"/*.deb; do
    [ -f "$a/$(basename "$deb")" ] || { echo "only the second build made $(basename "$deb")"; differ=1; }
done
[ "$count" -gt 0 ] || fail "the first build made no .deb file"
[ "$differ" -eq 0 ] || fail "the two builds differ"
echo "check-reproducible: all $count .deb files of the two builds are byte-identical"
