#!/usr/bin/env bash
# SER frame benchmark: frame 25 of a 50-frame 16-bit 4000 x 3000 video is
# converted to FITS, against a cp of one frame's bytes (cut out beforehand) in
# the same run; then the peak memory of the conversion is measured.
#   bash bench/ser_bench.sh [path/to/korvalix]
# Environment: BENCH_RUNS (best of 3). Target: peak resident memory under 16 MiB.
set -eu

bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 1; }
runs=${BENCH_RUNS:-3}
width=4000 height=3000 frames=50 frame=25

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-ser-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making a ${frames}-frame ${width} x ${height} 16-bit video..."
/usr/bin/python3 - "$width" "$height" "$frames" "$frame" <<'EOF_PY'
import struct, sys
import numpy as np
w, h, n, k = (int(x) for x in sys.argv[1:])
rng = np.random.default_rng(1)
with open("video.ser", "wb") as f:
    f.write(b"BENCH-SER\0\0\0\0\0" + struct.pack("<7i", 0, 0, 0, w, h, 16, n) + bytes(136))
    for i in range(n):
        data = rng.integers(0, 65536, size=w * h, dtype=np.uint16).astype("<u2").tobytes()
        f.write(data)
        if i == k - 1:
            open("frame.raw", "wb").write(data)
EOF_PY
cat video.ser >/dev/null # into the page cache

cat >timer.py <<'EOF_PY'
import resource, subprocess, sys, time
t0 = time.perf_counter()
r = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
print("failed failed" if r.returncode else "%.4f %.4f" % (wall, ru.ru_utime + ru.ru_stime))
EOF_PY
time_once() {
  rm -f "$1"
  /usr/bin/python3 timer.py "$2"
  rm -f "$1"
}
keep_best() {
  if [ "$1" = failed ] || [ "$2" = failed ]; then echo failed; return; fi
  if [ -z "$1" ]; then echo "$2"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'
}

names=("cp of one frame" "korvalix frame $frame")
outputs=("copy.raw" "video.fit")
commands=("cp frame.raw copy.raw" "\"$bin\" video.ser,$frame")
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

rm -f video.fit
/usr/bin/time -v "$bin" "video.ser,$frame" >/dev/null 2>time.txt || true
rss_kb=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' time.txt)
rm -f video.fit
echo
echo "korvalix peak memory: ${rss_kb} KiB ($(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MiB)"
awk -v k="$rss_kb" 'BEGIN { printf "memory target (< 16 MiB): %s\n", k < 16384 ? "met" : "missed" }'
