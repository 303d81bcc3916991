#!/usr/bin/env bash
# Builds and runs every test suite in the release configuration, then with AddressSanitizer +
# UndefinedBehaviorSanitizer, then with ThreadSanitizer, then runs every fuzz target for its fixed
# number of runs (scripts/fuzz.sh; XP_TEST_FUZZ=0 leaves it out). Stops at the first failure. After
# the release suites it checks the CMake install, builds the API reference and checks the Debian
# packages (scripts/check-packages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
xp_install_deps
jobs=$(nproc)
presets=${XP_TEST_PRESETS:-"release asan tsan"}
for preset in $presets; do
    echo "=== $preset ==="
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j"$jobs"
    ctest --preset "$preset" -j"$jobs"
    if [ "$preset" = release ]; then
        scripts/check-install.sh
        # The API reference: any Doxygen warning (an undocumented public member) fails the run.
        if command -v doxygen >/dev/null; then cmake --build --preset release --target docs; fi
        # The Debian packages, built once (release only): build, lintian, install, use, purge.
        if command -v dpkg-buildpackage >/dev/null && command -v lintian >/dev/null && [ "$(id -u)" -eq 0 ]; then
            started=$SECONDS
            JOBS=$jobs scripts/check-packages.sh
            echo "package check took $((SECONDS - started)) s"
        else
            echo "package check skipped: it needs dpkg-buildpackage, lintian and root"
        fi
    fi
done
if [ "${XP_TEST_FUZZ:-1}" != 0 ]; then
    echo "=== fuzz ==="
    scripts/fuzz.sh
fi
