#!/bin/sh
# Builds the bench preset and runs every benchmark program of the project (bench/bench_*.cpp)
# in one go, printing each program's results and then its ratio table.
#
# A program that prints its own table (a line starting with "Ratios") is shown as it is. For the
# others a table is made here from the console lines: each benchmark whose name holds "Xp" (ours)
# is set against the nearest benchmark after it whose name does not (what a user would pick
# instead), else the nearest one before it; the ratio is our time over theirs (below 1: faster).
# The machine is shared: run it a few times and read a typical run.
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for src in bench/bench_*.cpp; do
  name=$(basename "$src" .cpp)
  echo "==== $name"
  "build/bench/bench/$name" --benchmark_color=false | tee "$out"
  if ! grep -q '^Ratios' "$out"; then
    awk '
      /^BM_/ {
        f = ($3 == "ns") ? 1 : ($3 == "us") ? 1e3 : ($3 == "ms") ? 1e6 : ($3 == "s") ? 1e9 : 0
        if (f == 0) next
        n++; name[n] = $1; t[n] = $2 * f; ours[n] = ($1 ~ /Xp/)
      }
      END {
        printf "\nRatios (our time / the alternative'"'"'s time)\n"
        for (i = 1; i <= n; i++) {
          if (!ours[i]) continue
          j = 0
          for (k = i + 1; k <= n && !j; k++) if (!ours[k]) j = k
          for (k = i - 1; k >= 1 && !j; k--) if (!ours[k]) j = k
          if (j && t[j] > 0) printf "  %-48s vs %-40s %7.2f\n", name[i], name[j], t[i] / t[j]
        }
      }' "$out"
  fi
  echo
done
