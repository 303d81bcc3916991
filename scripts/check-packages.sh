#!/usr/bin/env bash
# Install, use and remove the Debian packages as a user of this machine would: builds them
# (scripts/package.sh: release build, no test suites inside, lintian), installs them with apt-get,
# builds examples/consumer against the installed -dev package through the CMake package and
# through pkg-config, runs xpfs and the installer's sandbox demo from /usr, then purges the
# packages and checks that none of their files is left.
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
for tool in dpkg-buildpackage lintian apt-get; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

packages=$(sed -n 's/^Package: *//p' debian/control)
for p in $packages; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" >/dev/null 2>&1; then
        fail "package $p is already known to dpkg ($(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$p")); purge it first, this check installs and purges its own"
    fi
done

installed=0
cleanup() {
    local status=$?
    if [ "$installed" -eq 1 ]; then
        # Only what dpkg knows: apt-get refuses the whole purge over a name it cannot find.
        local known="" p
        for p in $packages; do
            if dpkg-query -W -f='${db:Status-Abbrev}' "$p" >/dev/null 2>&1; then known="$known $p"; fi
        done
        if [ -n "$known" ]; then
            echo "check-packages: purging$known"
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
    debs+=("$out/${p}_${version}_${arch}.deb")
done

rm -rf "$work"
mkdir -p "$work"
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

# The consumer against the installed -dev package, not against a /usr/local installation.
cmake -S examples/consumer -B "$work/consumer" -DCMAKE_IGNORE_PREFIX_PATH=/usr/local >/dev/null
found=$(sed -n 's/^XpCommonLib_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
[ "$found" = "/usr/lib/$multiarch/cmake/XpCommonLib" ] || fail "CMake found the package in $found"
cmake --build "$work/consumer" >/dev/null
"$work/consumer/xp-consumer"

pcdir="/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig"
libdir=$(PKG_CONFIG_LIBDIR=$pcdir pkg-config --variable=libdir XpCommonLib)
[ "$(realpath "$libdir")" = "/usr/lib/$multiarch" ] || fail "pkg-config gives libdir $libdir"
flags=$(PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs XpCommonLib)
g++ -std=c++17 -Wall -Wextra -Werror examples/consumer/main.cpp -o "$work/xp-consumer-pc" $flags
resolved=$(ldd "$work/xp-consumer-pc" | awk '$1 == "libXpCommonLib.so.1" {print $3}')
[ -n "$resolved" ] && [ "$(realpath "$resolved")" = "$(realpath "/usr/lib/$multiarch/libXpCommonLib.so.1")" ] ||
    fail "the pkg-config consumer loads libXpCommonLib.so.1 from '$resolved', not from the package"
"$work/xp-consumer-pc"

/usr/bin/xpfs --help >"$work/xpfs-help"
grep -q 'Usage' "$work/xpfs-help" || fail "xpfs --help printed no usage"
[ "$(/usr/bin/xpfs path join /usr lib)" = /usr/lib ] || fail "xpfs path join answered wrong"

# The demo in German: the host's texts come from /usr/share/locale, the plug-in's from its bundle.
LANGUAGE=de /usr/bin/installer-demo --unattended >"$work/demo" 2>&1 || { cat "$work/demo"; fail "installer-demo failed"; }
grep -q 'installer-demo: both roads behaved as expected' "$work/demo" || { cat "$work/demo"; fail "installer-demo did not pass"; }
grep -q '  Zusammenfassung' "$work/demo" || { cat "$work/demo"; fail "installer-host did not find its German texts"; }
grep -q 'Ombrix-Datenbankeinstellungen' "$work/demo" || { cat "$work/demo"; fail "the plug-in did not find its German texts"; }
# The window's host: its usage without a display (as help2man ran it), and where no display is,
# its German refusal, which comes from its catalog in /usr/share/locale.
/usr/bin/installer-host-gtk --help </dev/null >"$work/gtk-help" 2>&1 || { cat "$work/gtk-help"; fail "installer-host-gtk --help failed"; }
grep -q 'Usage: installer-host-gtk' "$work/gtk-help" || fail "installer-host-gtk --help printed no usage"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY LANGUAGE=de /usr/bin/installer-host-gtk \
    "/usr/lib/$multiarch/xp-installer/PostInstallSection.bundle" >"$work/gtk-nodisplay" 2>&1 || status=$?
[ "$status" -eq 5 ] && grep -q 'die Anzeige lässt sich nicht öffnen' "$work/gtk-nodisplay" ||
    { cat "$work/gtk-nodisplay"; fail "installer-host-gtk without a display: status $status, no German message"; }
# The demo's window from the package: both roads in /usr/bin/installer-host-gtk on a private Xvfb
# display, driven over AT-SPI by their English button names (xvfb, at-spi2-core and imagemagick
# are the package's suggestions; this machine has them).
env -u DISPLAY -u WAYLAND_DISPLAY LANGUAGE=en /usr/bin/installer-demo --gui --screenshots "$work/shots" >"$work/demo-gui" 2>&1 ||
    { cat "$work/demo-gui"; fail "installer-demo --gui failed"; }
grep -q 'installer-demo: both roads behaved as expected' "$work/demo-gui" && ls "$work/shots"/fresh-*-authorization.png >/dev/null 2>&1 ||
    { cat "$work/demo-gui"; fail "installer-demo --gui did not walk both roads in the installed window"; }
used=$(date +%s)

DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 $packages >/dev/null
installed=0
for p in $packages; do
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

echo "check-packages: $(echo $packages | wc -w) packages built and lintian-clean in $((built - start)) s;" \
    "installed, consumer built with CMake and pkg-config, xpfs, installer-demo (also --gui) and installer-host-gtk ran from /usr," \
    "purged without leftovers in $(( $(date +%s) - built )) s (use $((used - built)) s)"
