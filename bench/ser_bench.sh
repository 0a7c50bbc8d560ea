#!/usr/bin/env bash
# SER frame benchmark: frame 25 of a 50-frame 16-bit 4000 x 3000 video is
# converted to FITS, against a cp of one frame's bytes (cut out beforehand) in
# the same run; then the peak memory of the conversion is measured.
#   bash bench/ser_bench.sh [path/to/korvalix]
# Environment: BENCH_RUNS (best of 3). Target: peak resident memory under 16 MiB.
set -eu
bench_dir=$(dirname "$(readlink -f "$0")")

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

source "$bench_dir/bench_lib.sh"

names=("cp of one frame" "korvalix frame $frame")
outputs=("copy.raw" "video.fit")
commands=("cp frame.raw copy.raw" "\"$bin\" video.ser,$frame")
run_rounds "$runs"
print_ratios 22

peak_memory video.fit "$bin" "video.ser,$frame"
awk -v k="$rss_kb" 'BEGIN { printf "memory target (< 16 MiB): %s\n", k < 16384 ? "met" : "missed" }'
