#!/bin/sh
# Builds the bench preset and runs every benchmark program of the project (bench/bench_*.cpp)
# in one go, printing each program's results and then its ratio table.
#
# Each program ends with its own table: our time over the alternative's (below 1: faster), with
# the goal where one is set. The machine is shared: run it a few times and read a typical run.
set -eu
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
for src in bench/bench_*.cpp; do
  name=$(basename "$src" .cpp)
  echo "==== $name"
  "build/bench/bench/$name"
  echo
done
