#!/usr/bin/env bash
# Conversion benchmark: a large 16-bit grey map with noise is converted to FITS
# by this program and by peer converters, all against a plain cp of the same
# file in the same run; then our peak memory is measured.
#   bash bench/convert_bench.sh [path/to/korvalix]
# Environment: BENCH_WIDTH, BENCH_HEIGHT (8000 x 6000), BENCH_RUNS (best of 3).
# Targets: at most 1.5 x cp, peak resident memory under 16 MiB.
set -eu
bench_dir=$(dirname "$(readlink -f "$0")")

bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 1; }
width=${BENCH_WIDTH:-8000}
height=${BENCH_HEIGHT:-6000}
runs=${BENCH_RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making a ${width} x ${height} 16-bit noise image..."
pgmnoise -maxval 65535 "$width" "$height" >big.pgm
bytes=$(stat -c %s big.pgm)
echo "input: big.pgm, $bytes bytes"
cat big.pgm >/dev/null # into the page cache for every contender alike

source "$bench_dir/bench_lib.sh"

names=("cp" "cat" "korvalix")
outputs=("copy.pgm" "copy2.pgm" "big.fit")
commands=("cp big.pgm copy.pgm" "cat big.pgm >copy2.pgm" "\"$bin\" big.pgm")
if command -v pamtofits >/dev/null; then
  names+=("pamtofits"); outputs+=("p.fits"); commands+=("pamtofits big.pgm >p.fits")
fi
if command -v gm >/dev/null; then
  names+=("gm convert"); outputs+=("g.fits"); commands+=("gm convert big.pgm g.fits")
fi
if [ -x /usr/bin/convert ]; then
  names+=("ImageMagick convert"); outputs+=("m.fits"); commands+=("/usr/bin/convert big.pgm m.fits")
fi

run_rounds "$runs"
print_ratios 22

peak_memory big.fit "$bin" big.pgm

if [ "${walls[2]}" != failed ]; then
  for kind in wall processor; do
    if [ $kind = wall ]; then ours=${walls[2]} base=${walls[0]}; else ours=${cpus[2]} base=${cpus[0]}; fi
    awk -v a="$ours" -v b="$base" -v k=$kind \
      'BEGIN { r = a / b; printf "time target (<= 1.5 x cp, %s time): %s (%.2f)\n", k, r <= 1.5 ? "met" : "missed", r }'
  done
fi
awk -v k="$rss_kb" 'BEGIN { printf "memory target (< 16 MiB): %s\n", k < 16384 ? "met" : "missed" }'
