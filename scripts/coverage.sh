#!/usr/bin/env bash
# Line coverage of the library, the plug-in, the installer host and xpfs under the test suites:
# builds the "coverage" preset (gcc --coverage, atomic counters), runs every test from zeroed
# counters and prints gcovr's per-file table and the total. Test code, the plug-in's sandbox
# programs, the examples, benchmarks and fuzz targets are not counted.
#   scripts/coverage.sh            build, test, report
#   scripts/coverage.sh --report   report on the counters of the last run only
# Extra arguments after "--" go to ctest (e.g. -- -R Xpfs).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
xp_install_deps
command -v gcovr >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends gcovr; }

report_only=0
if [ "${1:-}" = --report ]; then report_only=1; shift; fi
[ "${1:-}" = -- ] && shift

build=build/coverage
if [ $report_only = 0 ]; then
    cmake --preset coverage >/dev/null
    nice -n 10 cmake --build --preset coverage -j"$(nproc)"
    # Zeroed counters, as empty count files that every user may write: tests run programs and
    # children as nobody, whose counts are otherwise refused by the root-owned build tree and lost.
    find "$build" -name '*.gcno' -print0 | while IFS= read -r -d '' notes; do
        data="${notes%.gcno}.gcda"
        : > "$data" && chmod 0666 "$data"
    done
    # A failing test still leaves its counters; the table is printed, and the status says so.
    status=0
    ctest --preset coverage -j"$(nproc)" "$@" || status=$?
else
    status=0
fi

# A count file that no process wrote is empty, which gcov would take for a damaged one: the object's
# lines then count as never run, as they do without a file.
find "$build" -name '*.gcda' -empty -delete
gcovr --root . "$build" --gcov-executable gcov -j "$(nproc)" \
    --filter 'XpCommonLib/(src|include)/' --filter 'PostInstallSection/src/' \
    --filter 'InstallerHost/' --filter 'tools/' \
    --exclude '.*/tests/.*' --exclude '.*/sandbox/.*' \
    --print-summary --sort-percentage
exit $status
