#!/usr/bin/env bash
# Builds and runs every test suite in the release configuration, then with AddressSanitizer +
# UndefinedBehaviorSanitizer, then with ThreadSanitizer, then runs every fuzz target for its fixed
# number of runs (scripts/fuzz.sh; XP_TEST_FUZZ=0 leaves it out). Stops at the first failure.
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
    fi
done
if [ "${XP_TEST_FUZZ:-1}" != 0 ]; then
    echo "=== fuzz ==="
    scripts/fuzz.sh
fi
