#!/bin/bash
# Speed of a large uncompressed PDS image (8-bit samples, attached label)
# converted to FITS, measured in the same run against cp of the same file and
# against gdal_translate to FITS. Prints times (best of RUNS) and ratios.
#   usage: bench/pds_bench.sh [korvalix binary]   (a Release build is meant)
set -eu

BIN=$(realpath "${1:-${KORV_BINARY:-$(dirname "$0")/../build/korvalix}}")
RUNS=${RUNS:-3}
WIDTH=${WIDTH:-5000}
HEIGHT=${HEIGHT:-5000}
PY=/usr/bin/python3
for tool in gdal_translate "$PY"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool"; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

"$PY" - "$WIDTH" "$HEIGHT" <<'PYEOF'
# A planet-like 8-bit frame behind a label of whole records.
import sys
import numpy as np
w, h = int(sys.argv[1]), int(sys.argv[2])
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
r = np.hypot(x - w / 2, y - h / 2) / (0.4 * min(w, h))
rng = np.random.default_rng(1)
img = np.where(r < 1, 200 * np.sqrt(np.clip(1 - r * r, 0, 1)), 5) + rng.normal(0, 3, (h, w))
data = np.clip(img, 0, 255).astype(np.uint8).tobytes()
labels = 2
label = ("PDS_VERSION_ID = PDS3\r\nRECORD_TYPE = FIXED_LENGTH\r\nRECORD_BYTES = %d\r\n"
         "FILE_RECORDS = %d\r\nLABEL_RECORDS = %d\r\n^IMAGE = %d\r\nSPACECRAFT_NAME = BENCH\r\n"
         "TARGET_NAME = MARS\r\nOBJECT = IMAGE\r\n  LINES = %d\r\n  LINE_SAMPLES = %d\r\n"
         "  SAMPLE_TYPE = UNSIGNED_INTEGER\r\n  SAMPLE_BITS = 8\r\nEND_OBJECT = IMAGE\r\nEND\r\n"
         % (w, h + labels, labels, labels + 1, h, w))
open("big.img", "wb").write(label.encode().ljust(w * labels, b" ") + data)
PYEOF

best() {
  local best=""
  for _ in $(seq "$RUNS"); do
    rm -f big.fit copy.img gdal.fits gdal.fits.aux.xml
    sync
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > /dev/null 2>&1
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 $best" | awk '{d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3}')
  done
  echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

raw=$(stat -c %s big.img)
t_cp=$(best cp big.img copy.img)
t_korv=$(best "$BIN" big.img)
t_gdal=$(best gdal_translate -q -of FITS big.img gdal.fits)
"$BIN" big.img >/dev/null 2>&1 || { echo "conversion failed"; exit 1; }

echo "PDS image ${WIDTH}x${HEIGHT} 8-bit, $raw bytes; best of $RUNS runs"
printf '%-30s %8.3f s\n' "cp" "$t_cp"
printf '%-30s %8.3f s  time x%s of cp\n' "korvalix PDS -> .fit" "$t_korv" "$(ratio "$t_korv" "$t_cp")"
printf '%-30s %8.3f s  time x%s of korvalix\n' "gdal_translate -of FITS" "$t_gdal" "$(ratio "$t_gdal" "$t_korv")"
