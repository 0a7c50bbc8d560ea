#!/usr/bin/env bash
# Compressed camera raw benchmark: a 24-megapixel lossless-JPEG DNG and a
# 24-megapixel lossless NEF (written by the test encoders) are converted to
# FITS by this program, and decoded by LibRaw's unprocessed_raw and by
# dcraw -D -4, in the same run; prints the times and our speed ratios.
#   bash bench/raw_bench.sh [path/to/korvalix]
# Environment: BENCH_WIDTH, BENCH_HEIGHT (6000 x 4000), BENCH_RUNS (best of 3).
# Target: at least 2 x faster than unprocessed_raw.
set -eu

bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 1; }
src=$(readlink -f "$(dirname "$0")/..")
lib=$(dirname "$bin")/libkorvlib.a
width=${BENCH_WIDTH:-6000}
height=${BENCH_HEIGHT:-4000}
runs=${BENCH_RUNS:-3}
for tool in unprocessed_raw dcraw g++; do
  command -v $tool >/dev/null || { echo "missing $tool: raw bench skipped"; exit 0; }
done
[ -f "$lib" ] || { echo "no $lib beside the program" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-rawbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
g++ -std=c++20 -O2 -I"$src" "$src/tests/tools/make_raw_files.cpp" "$lib" -o make_raw_files
echo "making ${width} x ${height} files..."
./make_raw_files dng14 big.dng "$width" "$height" 5
./make_raw_files nef14-lossless big.nef "$width" "$height" 5
cat big.dng big.nef >/dev/null

# Processor time (user + system) of one run of a shell command, or "failed".
# Processor time, not wall time: the machines we bench on are shared, and a
# neighbour's load must not move the ratios.
cat >timer.py <<'EOF_PY'
import resource, subprocess, sys
r = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
print("failed" if r.returncode else "%.4f" % (ru.ru_utime + ru.ru_stime))
EOF_PY

best() { # command -> best processor time of $runs runs
  local b="" t
  for _ in $(seq "$runs"); do
    rm -f big.fit big.dng.pgm big.nef.pgm out.pgm
    t=$(/usr/bin/python3 timer.py "$1")
    [ "$t" = failed ] && { echo failed; return; }
    if [ -z "$b" ] || awk -v a="$t" -v b="$b" 'BEGIN { exit !(a < b) }'; then b=$t; fi
  done
  echo "$b"
}

status=0
for f in big.dng big.nef; do
  ours=$(best "$bin $f C1,1,1,1")
  lr=$(best "unprocessed_raw $f")
  dc=$(best "dcraw -D -4 -c $f >out.pgm")
  printf '%s: processor time korvalix %ss, unprocessed_raw %ss, dcraw -D -4 %ss\n' "$f" "$ours" "$lr" "$dc"
  if [ "$ours" = failed ]; then status=1; continue; fi
  awk -v o="$ours" -v l="$lr" -v d="$dc" 'BEGIN {
    printf "  ratios: unprocessed_raw / korvalix = %.2f (target >= 2), dcraw / korvalix = %.2f\n", l / o, d / o }'
done
exit $status
