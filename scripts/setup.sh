#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds the release configuration and runs the
# main job: the installer on its built-in sandbox once the installer host exists, else the
# library's example program.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
xp_install_deps
cmake --preset release
cmake --build --preset release -j"$(nproc)"
if [ -x build/release/PostInstallSection/sandbox/installer-demo ]; then
    exec build/release/PostInstallSection/sandbox/installer-demo "$@"
fi
exec build/release/examples/xp-example
