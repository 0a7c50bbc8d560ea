#!/bin/bash
# Speed of FITS input and of the two row codecs on a large 16-bit image,
# measured in the same run against CFITSIO's imcopy (plain copy) and fpack
# (Rice tile compression). Prints times (best of RUNS), sizes and ratios.
#   usage: bench/fits_bench.sh [korvalix binary]   (a Release build is meant)
set -eu

BIN=$(realpath "${1:-${KORV_BINARY:-$(dirname "$0")/../build/korvalix}}")
RUNS=${RUNS:-3}
WIDTH=${WIDTH:-8000}
HEIGHT=${HEIGHT:-6000}
PY=/usr/bin/python3
for tool in imcopy fpack funpack "$PY"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool"; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

"$PY" - "$WIDTH" "$HEIGHT" <<'EOF'
# A sky-like 16-bit image: smooth background, noise, a few bright stars.
import sys
import numpy as np
from astropy.io import fits

w, h = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(1)
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
img = 1200 + 0.02 * x + 0.01 * y + rng.normal(0, 12, (h, w)).astype(np.float32)
for sx, sy, a in zip(rng.integers(0, w, 400), rng.integers(0, h, 400), rng.uniform(500, 60000, 400)):
    x0, x1, y0, y1 = max(sx - 6, 0), min(sx + 7, w), max(sy - 6, 0), min(sy + 7, h)
    yy, xx = np.mgrid[y0:y1, x0:x1]
    img[y0:y1, x0:x1] += a * np.exp(-((xx - sx) ** 2 + (yy - sy) ** 2) / 4.0)
fits.PrimaryHDU(np.clip(img, 0, 65535).astype(np.uint16)).writeto("big.fits")
EOF

# best TIME of RUNS for a command; the command's output files are removed first
best() {
  local best=""
  for _ in $(seq "$RUNS"); do
    rm -f big.fit big.fip big.fiv keep.fit keep.fits.fit unpacked.fits korv*.fit korv*.fip korv*.fiv copy.fits big.fits.fz
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > /dev/null 2>&1
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 $best" | awk '{d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3}')
  done
  echo "$best"
}
size() { stat -c %s "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

raw=$(size big.fits)
t_imcopy=$(best imcopy big.fits copy.fits)
t_fit=$(best "$BIN" big.fits)
s_fit=$(size big.fit)
t_fpack=$(best fpack -r -O big.fits.fz big.fits)
s_fz=$(size big.fits.fz)
cp big.fits.fz keep.fits.fz
t_fip=$(best "$BIN" big.fits CPRP)
s_fip=$(size big.fip)
cp big.fip keep.fip
t_fiv=$(best "$BIN" big.fits CPVA)
s_fiv=$(size big.fiv)
cp big.fiv keep.fiv
# Reading our own compressed files back to plain FITS.
t_unfip=$(best "$BIN" keep.fip)
t_unfiv=$(best "$BIN" keep.fiv)
# Tile-compressed input: our RICE_1 decoding against funpack's.
t_funpack=$(best funpack -O unpacked.fits keep.fits.fz)
t_unfz=$(best "$BIN" keep.fits.fz)

echo "image ${WIDTH}x${HEIGHT} 16-bit, $raw bytes; best of $RUNS runs"
printf '%-28s %8.3f s  %11d bytes\n' "imcopy FITS -> FITS" "$t_imcopy" "$raw"
printf '%-28s %8.3f s  %11d bytes  time x%s of imcopy\n' "korvalix FITS -> .fit" "$t_fit" "$s_fit" "$(ratio "$t_fit" "$t_imcopy")"
printf '%-28s %8.3f s  %11d bytes  (%s of raw)\n' "fpack RICE_1" "$t_fpack" "$s_fz" "$(ratio "$s_fz" "$raw")"
printf '%-28s %8.3f s  %11d bytes  (%s of raw)  time x%s of fpack\n' "korvalix FITS -> .fip" "$t_fip" "$s_fip" "$(ratio "$s_fip" "$raw")" "$(ratio "$t_fip" "$t_fpack")"
printf '%-28s %8.3f s  %11d bytes  (%s of raw)  time x%s of fpack\n' "korvalix FITS -> .fiv" "$t_fiv" "$s_fiv" "$(ratio "$s_fiv" "$raw")" "$(ratio "$t_fiv" "$t_fpack")"
printf '%-28s %8.3f s\n' "korvalix .fip -> .fit" "$t_unfip"
printf '%-28s %8.3f s\n' "korvalix .fiv -> .fit" "$t_unfiv"
printf '%-28s %8.3f s\n' "funpack .fz -> FITS" "$t_funpack"
printf '%-28s %8.3f s  time x%s of funpack\n' "korvalix .fz -> .fit" "$t_unfz" "$(ratio "$t_unfz" "$t_funpack")"
