#!/usr/bin/env bash
# Runs every conversion bench (bench/*_bench.sh) against the given program.
#   bash bench/run.sh [path/to/korvalix]
# Each bench measures this program and its named peers in the same run and
# prints the ratios; a bench whose peer tool is missing says so and is skipped.
set -u
bin=${1:-build/korvalix}
status=0
for bench in "$(dirname "$0")"/*_bench.sh; do
  echo "== $(basename "$bench")"
  bash "$bench" "$bin" || status=1
done
exit $status
