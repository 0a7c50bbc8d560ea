#!/usr/bin/env bash
# Conversion benchmark: a large 16-bit grey map with noise is converted to FITS
# by this program and by peer converters, all against a plain cp of the same
# file in the same run; then our peak memory is measured.
#   bash bench/convert_bench.sh [path/to/korvalix]
# Environment: BENCH_WIDTH, BENCH_HEIGHT (8000 x 6000), BENCH_RUNS (best of 3).
# Targets: at most 1.5 x cp, peak resident memory under 16 MiB.
set -eu

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

now() { date +%s.%N; }

# best NAME OUTPUT COMMAND...: best wall time in seconds over the runs; the
# output is removed before each run, outside the timing.
best() {
  local name=$1 output=$2
  shift 2
  local t_best="" t0 t1 t i
  for ((i = 0; i < runs; i++)); do
    rm -f "$output"
    t0=$(now)
    if ! "$@" >/dev/null 2>&1; then
      echo "$name: failed" >&2
      echo "failed"
      return
    fi
    t1=$(now)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    if [ -z "$t_best" ] || awk -v a="$t" -v b="$t_best" 'BEGIN { exit !(a < b) }'; then
      t_best=$t
    fi
  done
  rm -f "$output"
  echo "$t_best"
}

declare -a names times
add() {
  names+=("$1")
  times+=("$2")
}

add "cp" "$(best cp copy.pgm cp big.pgm copy.pgm)"
add "korvalix" "$(best korvalix big.fit "$bin" big.pgm)"
if command -v pamtofits >/dev/null; then
  add "pamtofits" "$(best pamtofits p.fits sh -c 'pamtofits big.pgm >p.fits')"
fi
if command -v gm >/dev/null; then
  add "gm convert" "$(best gm g.fits gm convert big.pgm g.fits)"
fi
if [ -x /usr/bin/convert ]; then
  add "ImageMagick convert" "$(best im m.fits /usr/bin/convert big.pgm m.fits)"
fi

cp_time=${times[0]}
printf '\n%-22s %10s %10s\n' "converter" "seconds" "x cp"
for i in "${!names[@]}"; do
  if [ "${times[$i]}" = failed ]; then
    printf '%-22s %10s %10s\n' "${names[$i]}" failed -
  else
    printf '%-22s %10s %10s\n' "${names[$i]}" "${times[$i]}" \
      "$(awk -v a="${times[$i]}" -v b="$cp_time" 'BEGIN { printf "%.2f", a / b }')"
  fi
done

rm -f big.fit
/usr/bin/time -v "$bin" big.pgm >/dev/null 2>time.txt || true
rss_kb=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' time.txt)
rm -f big.fit
echo
echo "korvalix peak memory: ${rss_kb} KiB ($(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MiB)"

ours=${times[1]}
if [ "$ours" != failed ]; then
  awk -v a="$ours" -v b="$cp_time" 'BEGIN { r = a / b; printf "time target (<= 1.5 x cp): %s (%.2f)\n", r <= 1.5 ? "met" : "missed", r }'
fi
awk -v k="$rss_kb" 'BEGIN { printf "memory target (< 16 MiB): %s\n", k < 16384 ? "met" : "missed" }'
