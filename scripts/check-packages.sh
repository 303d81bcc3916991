#!/usr/bin/env bash
# Install, use and remove the Debian packages as a user of this machine would: builds them
# (scripts/package.sh: release build, no test suites inside, lintian --pedantic without
# overrides), checks that the terminal installer's dependencies do not reach GTK, installs them
# with apt-get, runs the smoke tests of debian/tests with autopkgtest against the installed
# packages (a consumer built through the CMake package and through pkg-config, xpfs, the demo
# unattended and in the window), then purges the packages and checks that none of their files is
# left.
#
# Runs as root on the machine itself. It refuses to start where a package of the same name is
# known to dpkg (it would replace and then remove someone's installation), and purges what it
# installed also when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/deb
work=$root/build/deb-check

fail() { echo "check-packages: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (apt-get install and purge)"
for tool in dpkg-buildpackage lintian apt-get autopkgtest; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

packages=$(sed -n 's/^Package: *//p' debian/control)
# autopkgtest installs the tests' dependencies through a package of this name; it goes with ours.
satdep=autopkgtest-satdep
for p in $packages $satdep; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" >/dev/null 2>&1; then
        fail "package $p is already known to dpkg ($(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$p")); purge it first, this check installs and purges its own"
    fi
done

known_packages() {
    local p
    for p in $packages $satdep; do
        if dpkg-query -W -f='${db:Status-Abbrev}' "$p" >/dev/null 2>&1; then echo "$p"; fi
    done
}

installed=0
cleanup() {
    local status=$?
    if [ "$installed" -eq 1 ]; then
        # Only what dpkg knows: apt-get refuses the whole purge over a name it cannot find.
        local known
        known=$(known_packages | tr '\n' ' ')
        if [ -n "$known" ]; then
            echo "check-packages: purging $known"
            DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 $known >/dev/null || status=1
        fi
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$(date +%s)
JOBS=${JOBS:-2} scripts/package.sh
built=$(date +%s)

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs=()
for p in $packages; do
    a=$arch
    if [ -f "$out/${p}_${version}_all.deb" ]; then a=all; fi
    [ -f "$out/${p}_${version}_${a}.deb" ] || fail "no package file for $p"
    debs+=("$out/${p}_${version}_${a}.deb")
done

rm -rf "$work"
mkdir -p "$work"

# The terminal installer must run where no desktop is installed: nothing it depends on, however
# indirectly, may be GTK. Its direct dependencies and those of the library it links come from
# their .deb files, the rest from apt's lists.
direct=$(for p in xp-installer libxpcommonlib1; do dpkg-deb -f "$out/${p}_${version}_${arch}.deb" Depends; echo; done |
    tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/ //g' | grep -v '^$' | grep -vx 'libxpcommonlib1' | sort -u || true)
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances $direct | grep -v '^ ' | sed 's/^<\(.*\)>$/\1/' | sort -u)
[ "$(echo "$closure" | wc -l)" -gt 10 ] || fail "apt-cache found too few dependencies of xp-installer: $closure"
if echo "$closure" | grep -E '^libgtk-?[0-9]' >/dev/null; then
    fail "xp-installer depends on GTK: $(echo "$closure" | grep -E '^libgtk-?[0-9]' | tr '\n' ' ')"
fi
for p in pkexec polkitd; do
    echo "$direct" | grep -qx "$p" || fail "xp-installer does not depend on $p"
done

# Folders that exist before the installation may stay after the purge; any other one may not.
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{print $6}' | sed 's|^\./|/|; s|/$||' |
    grep -v '^$' | sort -u >"$work/contents"
while read -r path; do
    if [ -d "$path" ]; then echo "$path"; fi
done <"$work/contents" >"$work/dirs-before"

installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${debs[@]}"
for p in $packages; do dpkg -L "$p"; done | grep -vx "/\." | sort -u >"$work/listed"
grep -qx "/usr/lib/$multiarch/libXpCommonLib.so.1" "$work/listed" || fail "dpkg -L does not list the library"
grep -qx "/usr/share/doc/xpcommonlib/html/index.html" "$work/listed" || fail "dpkg -L does not list the API reference"

# The smoke tests, as autopkgtest runs them on a testbed, here on this machine (the null testbed)
# against the packages just installed (--no-built-binaries: it installs none of its own). The
# tests need only debian/ and examples/ of the tree; the copy keeps autopkgtest from copying the
# build folders.
mkdir -p "$work/source"
tar -C "$root" -cf - debian examples | tar -C "$work/source" -xf -
status=0
DEBIAN_FRONTEND=noninteractive autopkgtest --no-built-binaries --output-dir "$work/autopkgtest" \
    "$work/source/" -- null >"$work/autopkgtest.log" 2>&1 || status=$?
summary=$work/autopkgtest/summary
[ -f "$summary" ] && cat "$summary"
if [ "$status" -ne 0 ]; then
    cat "$work/autopkgtest.log"
    # What the failed tests wrote to stderr (the log above has their stdout).
    for f in "$work/autopkgtest"/*-stderr; do
        [ -s "$f" ] && { echo "=== $(basename "$f")"; cat "$f"; }
    done
    fail "autopkgtest failed (status $status)"
fi
# autopkgtest ends with 2 when a test was skipped and 8 when none ran, which fail above; the count
# also catches a test of debian/tests/control missing from the summary.
tests=$(grep -c '^Tests:' debian/tests/control)
passed=$(grep -cE '^[^ ]+ +PASS$' "$summary" || true)
[ "$passed" -eq "$tests" ] || { cat "$work/autopkgtest.log"; fail "$passed of $tests smoke tests passed"; }
used=$(date +%s)

DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 $(known_packages) >/dev/null
installed=0
for p in $packages $satdep; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" >/dev/null 2>&1; then fail "$p is still known to dpkg after the purge"; fi
done
left=0
while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        grep -qxF "$path" "$work/dirs-before" && continue
        echo "left behind: folder $path" >&2
        left=1
    elif [ -e "$path" ] || [ -L "$path" ]; then
        echo "left behind: $path" >&2
        left=1
    fi
done < <(sort -u "$work/listed" "$work/contents")
[ "$left" -eq 0 ] || fail "files of the packages are left after the purge"

echo "check-packages: $(echo $packages | wc -w) packages built and lintian-clean (--pedantic) in $((built - start)) s;" \
    "xp-installer's dependencies reach no GTK; installed, $tests smoke tests passed under autopkgtest," \
    "purged without leftovers in $(( $(date +%s) - built )) s (tests $((used - built)) s)"
