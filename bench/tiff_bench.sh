#!/bin/bash
# Speed and memory of TIFF input on a 6000 x 4000 image, measured in the same
# run against the peers: an uncompressed 16-bit grey file against cp of the
# same file, an LZW 8-bit RGB file against tifftopnm | pamtofits. Prints times
# (best of RUNS), ratios and the peak resident memory of our conversions.
#   usage: bench/tiff_bench.sh [korvalix binary]   (a Release build is meant)
set -eu

BIN=$(realpath "${1:-${KORV_BINARY:-$(dirname "$0")/../build/korvalix}}")
RUNS=${RUNS:-3}
WIDTH=${WIDTH:-6000}
HEIGHT=${HEIGHT:-4000}
PY=/usr/bin/python3
for tool in tiffcp tifftopnm pamtofits /usr/bin/time "$PY"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool"; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

"$PY" - "$WIDTH" "$HEIGHT" <<'EOF'
# Smooth gradients with noise, so that LZW has something to find and to miss.
import sys
import numpy as np
from PIL import Image

w, h = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(3)
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
grey = 20000 + 4 * x + 2 * y + rng.normal(0, 40, (h, w)).astype(np.float32)
Image.fromarray(np.clip(grey, 0, 65535).astype(np.uint16)).save("grey16.tif")
rgb = np.stack([x / w * 255, y / h * 255, (x + y) / (w + h) * 255], axis=2)
rgb += rng.normal(0, 3, rgb.shape)
Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8)).save("rgb_plain.tif")
EOF
tiffcp -c lzw -r 16 rgb_plain.tif rgb8.tif
tiffcp -c none -r 16 grey16.tif grey16_strips.tif
mv grey16_strips.tif grey16.tif

best() {
  local best=""
  for _ in $(seq "$RUNS"); do
    rm -f grey16.fit rgb8.fit copy.tif peer.fits
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 $best" | awk '{d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3}')
  done
  echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
peak() {
  rm -f grey16.fit rgb8.fit
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk '/Maximum resident/ { printf "%.1f", $6 / 1024 }'
}
peer_lzw() { tifftopnm rgb8.tif 2>/dev/null | pamtofits >peer.fits 2>/dev/null; }

t_cp=$(best cp grey16.tif copy.tif)
t_grey=$(best "$BIN" grey16.tif)
t_peer=$(best peer_lzw)
t_lzw=$(best "$BIN" rgb8.tif)
m_grey=$(peak "$BIN" grey16.tif)
m_lzw=$(peak "$BIN" rgb8.tif)

echo "image ${WIDTH} x ${HEIGHT}; best of $RUNS runs"
printf "16-bit grey, uncompressed: korvalix %.3f s, cp %.3f s, ratio %s (target <= 1.5)\n" \
  "$t_grey" "$t_cp" "$(ratio "$t_grey" "$t_cp")"
printf "8-bit RGB, LZW:            korvalix %.3f s, tifftopnm | pamtofits %.3f s, ratio %s (target < 1)\n" \
  "$t_lzw" "$t_peer" "$(ratio "$t_lzw" "$t_peer")"
echo "peak resident memory: grey ${m_grey} MiB, LZW ${m_lzw} MiB (target < 16)"
