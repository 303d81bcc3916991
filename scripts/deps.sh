# Sourced by the other scripts: installs the Debian packages the build needs, only those missing.
xp_install_deps() {
    local pkgs="build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev liburing-dev
        libicu-dev gettext clang libclang-rt-dev desktop-file-utils locales tzdata
        fuse3 libfuse3-dev libglib2.0-bin gvfs gvfs-daemons dbus doxygen gcovr
        polkitd pkexec dpkg-dev debhelper lintian help2man groff-base autopkgtest
        libglib2.0-dev libgtk-4-dev xvfb at-spi2-core libatspi2.0-dev libx11-dev libxtst-dev imagemagick weston
        appstream libgdk-pixbuf2.0-bin libsystemd-dev systemd"
    local missing=""
    for p in $pkgs; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        if [ "$(id -u)" -ne 0 ]; then
            echo "These packages are missing and installing them needs root:$missing" >&2
            return 1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get update -q && \
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
    fi
}
