#!/usr/bin/env bash
# Installs the release build into a scratch prefix and builds a program outside the tree against
# it, once through the CMake package and once through pkg-config, then runs both; runs xpfs and
# the installer's sandbox demo from the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/release --prefix "$prefix/usr" >/dev/null
cmake -S examples/consumer -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/build" >/dev/null
LD_LIBRARY_PATH="$prefix/usr/lib" "$prefix/build/xp-consumer"
# Both compilers: they differ in how explicit template instantiations are exported.
# The consumer includes the headers in both forms (main.cpp <XpCommonLib/XpString.h>, old_form.cpp
# <XpString.h>). The package is xpcommonlib, and under its older name XpCommonLib.
export PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig"
cflags=$(pkg-config --cflags xpcommonlib)
case " $cflags $(pkg-config --libs xpcommonlib)" in
    *..*) echo "pkg-config gives paths with '..': $cflags" >&2; exit 1 ;;
esac
[ "$(pkg-config --cflags --libs XpCommonLib)" = "$(pkg-config --cflags --libs xpcommonlib)" ]
flags=$(pkg-config --cflags --libs xpcommonlib)
for cxx in g++ clang++; do
    "$cxx" -std=c++17 -Wall -Wextra -Werror "$root/examples/consumer/main.cpp" "$root/examples/consumer/old_form.cpp" \
        -o "$prefix/xp-consumer-$cxx" $flags
    LD_LIBRARY_PATH="$prefix/usr/lib" "$prefix/xp-consumer-$cxx"
done
# The prefixed form needs nothing but the include folder itself (as /usr/include is for a
# Debian user): the headers find each other beside themselves.
g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/usr/include" "$root/examples/consumer/main.cpp"
# The installed xpfs finds the library beside it (no LD_LIBRARY_PATH) and answers.
test "$("$prefix/usr/bin/xpfs" path join /usr lib)" = /usr/lib
test "$("$prefix/usr/bin/xpfs" path root /)" = /
# The privileged helper and the polkit policy that names it; the helper refuses a start that is
# not pkexec's (status 3).
if [ -e build/release/PostInstallSection/oru-privileged-helper ]; then
    grep -q "<annotate key=\"org.freedesktop.policykit.exec.path\">.*/libexec/PostInstallSection/oru-privileged-helper<" \
        "$prefix/usr/share/polkit-1/actions/com.ombrix.installer.policy"
    status=0
    env -u PKEXEC_UID "$prefix/usr/libexec/PostInstallSection/oru-privileged-helper" login-item add 2>/dev/null || status=$?
    test "$status" = 3
    echo "install check: the privileged helper and its polkit policy are installed"
fi
# The installed installer finds its private library, its plug-in bundle, the sample application
# and its texts relative to itself (here in German, to see the catalogs found).
if [ -x "$prefix/usr/bin/installer-demo" ]; then
    # The record stays off: the machine's /var/log is not the check's to write.
    INSTALLER_HOST_RECORD=off LANGUAGE=de "$prefix/usr/bin/installer-demo" --unattended >"$prefix/demo" 2>&1 || { cat "$prefix/demo"; exit 1; }
    grep -q '  Zusammenfassung' "$prefix/demo" || { cat "$prefix/demo"; echo "installed installer-host found no German texts" >&2; exit 1; }
fi
# The installed demo's window: both roads in the installed installer-host-gtk on a private Xvfb
# display (no display of the caller's is used), driven over AT-SPI, with a picture of every page.
# The driver finds the buttons by their English names, hence LANGUAGE=en.
if [ -x "$prefix/usr/bin/installer-host-gtk" ]; then
    env -u DISPLAY -u WAYLAND_DISPLAY INSTALLER_HOST_RECORD=off LANGUAGE=en "$prefix/usr/bin/installer-demo" --gui --screenshots "$prefix/shots" \
        >"$prefix/demo-gui" 2>&1 || { cat "$prefix/demo-gui"; echo "the installed installer-demo --gui failed" >&2; exit 1; }
    grep -q 'installer-demo: both roads behaved as expected' "$prefix/demo-gui" &&
        ls "$prefix/shots"/fresh-*-authorization.png >/dev/null 2>&1 ||
        { cat "$prefix/demo-gui"; echo "the installed installer-demo --gui did not walk both roads in the window" >&2; exit 1; }
fi
echo "install check: CMake package and pkg-config (xpcommonlib) consumers (g++, clang++) built and ran, both include forms"
echo "install check: xpfs ran from the prefix"
if [ -x "$prefix/usr/bin/installer-demo" ]; then echo "install check: installer-demo ran from the prefix"; fi
if [ -x "$prefix/usr/bin/installer-host-gtk" ]; then echo "install check: installer-demo --gui ran the installed window on a private display"; fi
