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

# Runs a shell command; prints its wall time and its processor time (user +
# system, children included) in seconds, or "failed failed".
cat >timer.py <<'EOF_PY'
import os, resource, subprocess, sys, time
t0 = time.perf_counter()
r = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
print("failed failed" if r.returncode else "%.4f %.4f" % (wall, ru.ru_utime + ru.ru_stime))
EOF_PY

# time_once OUTPUT COMMAND: "wall cpu" of one run; the output is removed
# before and after the run, outside the timing.
time_once() {
  rm -f "$1"
  /usr/bin/python3 timer.py "$2"
  rm -f "$1"
}

# keep_best OLD NEW: the smaller of two times ("failed" sticks).
keep_best() {
  if [ "$1" = failed ] || [ "$2" = failed ]; then echo failed; return; fi
  if [ -z "$1" ]; then echo "$2"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'
}

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

# Rounds run every contender once, so that a change in the machine's load
# touches them all alike; each keeps its best time.
declare -a walls cpus
for ((round = 0; round < runs; round++)); do
  for i in "${!names[@]}"; do
    read -r wall cpu < <(time_once "${outputs[$i]}" "${commands[$i]}")
    walls[$i]=$(keep_best "${walls[$i]:-}" "$wall")
    cpus[$i]=$(keep_best "${cpus[$i]:-}" "$cpu")
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "best of $runs rounds; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %10s %8s %12s %8s\n' "converter" "wall s" "x cp" "processor s" "x cp"
for i in "${!names[@]}"; do
  if [ "${walls[$i]}" = failed ]; then
    printf '%-22s %10s\n' "${names[$i]}" failed
  else
    printf '%-22s %10s %8s %12s %8s\n' "${names[$i]}" "${walls[$i]}" "$(ratio "${walls[$i]}" "${walls[0]}")" \
      "${cpus[$i]}" "$(ratio "${cpus[$i]}" "${cpus[0]}")"
  fi
done

rm -f big.fit
/usr/bin/time -v "$bin" big.pgm >/dev/null 2>time.txt || true
rss_kb=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' time.txt)
rm -f big.fit
echo
echo "korvalix peak memory: ${rss_kb} KiB ($(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MiB)"

if [ "${walls[2]}" != failed ]; then
  for kind in wall processor; do
    if [ $kind = wall ]; then ours=${walls[2]} base=${walls[0]}; else ours=${cpus[2]} base=${cpus[0]}; fi
    awk -v a="$ours" -v b="$base" -v k=$kind \
      'BEGIN { r = a / b; printf "time target (<= 1.5 x cp, %s time): %s (%.2f)\n", k, r <= 1.5 ? "met" : "missed", r }'
  done
fi
awk -v k="$rss_kb" 'BEGIN { printf "memory target (< 16 MiB): %s\n", k < 16384 ? "met" : "missed" }'
