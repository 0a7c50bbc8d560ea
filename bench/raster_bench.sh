#!/usr/bin/env bash
# Raster benchmark: a large GIF against netpbm's giftopnm | pamtofits, and a
# 24-bit BMP and TGA of the same size against a plain cp of each, all in one
# run (each contender's best of BENCH_RUNS rounds).
#   bash bench/raster_bench.sh [path/to/korvalix]
# Environment: BENCH_WIDTH, BENCH_HEIGHT (6000 x 4000), BENCH_RUNS (3).
# Targets: GIF faster than giftopnm | pamtofits; BMP and TGA at most 2 x cp.
set -eu
bench_dir=$(dirname "$(readlink -f "$0")")

bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 1; }
width=${BENCH_WIDTH:-6000}
height=${BENCH_HEIGHT:-4000}
runs=${BENCH_RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-raster-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making ${width} x ${height} test images..."
# A colour picture with smooth areas and edges, 256 colours for the GIF.
ppmpat -camo "$width" "$height" >big.ppm
pnmcolormap 256 big.ppm >map.ppm 2>/dev/null
pnmremap -mapfile=map.ppm -nofloyd big.ppm 2>/dev/null | pamtogif >big.gif 2>/dev/null
ppmtobmp -bpp=24 big.ppm >big.bmp 2>/dev/null
pamtotga -rgb -norle big.ppm >big.tga 2>/dev/null
rm -f big.ppm map.ppm
for f in big.gif big.bmp big.tga; do
  echo "input: $f, $(stat -c %s $f) bytes"
  cat $f >/dev/null # into the page cache for every contender alike
done

source "$bench_dir/bench_lib.sh"

names=("korvalix gif" "giftopnm | pamtofits" "korvalix bmp" "cp bmp" "korvalix tga" "cp tga")
outputs=("big.fit" "p.fits" "big.fit" "copy.bmp" "big.fit" "copy.tga")
commands=("\"$bin\" big.gif" "giftopnm big.gif | pamtofits >p.fits" "\"$bin\" big.bmp"
  "cp big.bmp copy.bmp" "\"$bin\" big.tga" "cp big.tga copy.tga")

run_rounds "$runs"
printf '%-24s %10s %12s\n' "contender" "wall s" "processor s"
for i in "${!names[@]}"; do
  printf '%-24s %10s %12s\n' "${names[$i]}" "${walls[$i]}" "${cpus[$i]}"
done
echo
# target NAME OURS PEER LIMIT: our time over the peer's, wall and processor;
# met when the wall ratio is at most LIMIT (below it for a limit of 1: faster).
target() {
  local name=$1 ours=$2 peer=$3 limit=$4
  if [ "${walls[$ours]}" = failed ] || [ "${walls[$peer]}" = failed ]; then
    echo "$name: failed"
    return
  fi
  awk -v n="$name" -v a="${walls[$ours]}" -v b="${walls[$peer]}" -v c="${cpus[$ours]}" \
    -v d="${cpus[$peer]}" -v l="$limit" 'BEGIN {
      ok = l == 1 ? a / b < 1 : a / b <= l
      printf "%s: wall %.2f, processor %.2f (target %s %s): %s\n", n, a / b, c / d,
             l == 1 ? "below" : "at most", l, ok ? "met" : "missed" }'
}
target "GIF / giftopnm | pamtofits" 0 1 1
target "BMP / cp" 2 3 2
target "TGA / cp" 4 5 2
