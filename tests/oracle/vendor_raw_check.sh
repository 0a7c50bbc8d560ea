#!/usr/bin/env bash
# Cross-checks the CRW and RAF readers against dcraw and LibRaw: the small
# files of the fuzz seeds are converted with unit factors, the FITS file must
# pass fitsverify, and its samples must equal those of `dcraw -D -4` (CRW) and
# of LibRaw's unprocessed_raw (CRW). The corpus files whose raw data were
# stripped must stop with status 1 and leave no output.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
SRC=${KORV_SOURCE_DIR:-$(dirname "$(readlink -f "$0")")/../..}
CORPUS=${KORV_CORPUS_DIR:-$SRC/../shared/corpus}
[ -d "$CORPUS/raw" ] || { echo "no corpus"; exit 77; }
oracle_start fitsverify dcraw unprocessed_raw
checks=0
failures=0

cat >compare.py <<'PYEOF'
import sys
import numpy as np
from astropy.io import fits
a = fits.getdata(sys.argv[1]).astype(np.int64)[::-1]
d = open(sys.argv[2], "rb").read()
parts = d.split(b"\n", 3)
w, h = map(int, parts[1].split())
b = np.frombuffer(parts[3][: 2 * w * h], dtype=">u2").reshape(h, w).astype(np.int64)
if a.shape != b.shape or (a != b).any():
    print("differ:", a.shape, b.shape, int((a != b).sum()) if a.shape == b.shape else "")
    sys.exit(1)
PYEOF

check() { # file peer-command
  local f=$1 peer=$2 base
  base=$(basename "${f%.*}")
  cp "$f" .
  rm -f "$base.fit"
  "$KORV_BINARY" "$(basename "$f")" C1,1,1,1 >"$base.log" 2>&1 || { fail "$f: status"; return; }
  fitsverify -q "$base.fit" >/dev/null 2>&1 || fail "$f: fitsverify"
  case $peer in
    dcraw) dcraw -D -4 -c "$(basename "$f")" >"$base.pgm" 2>/dev/null ;;
    libraw) unprocessed_raw "$(basename "$f")" >/dev/null 2>&1 && mv "$(basename "$f").pgm" "$base.pgm" ;;
    none) checks=$((checks + 1)); return ;;
  esac
  $PY compare.py "$base.fit" "$base.pgm" || fail "$f: samples differ from $peer"
  checks=$((checks + 1))
}

check "$SRC/fuzz/corpus/crw/small.crw" dcraw
check "$SRC/fuzz/corpus/crw/small.crw" libraw
# LibRaw does not open a RAF file this small (no full preview and EXIF): the
# reader's own tests check its samples; here only the output's validity.
check "$SRC/fuzz/corpus/raf/small.raf" none

for f in exiftool_CanonRaw.crw exiftool_FujiFilm.raf exiftool_Panasonic.rw2; do
  cp "$CORPUS/raw/$f" .
  "$KORV_BINARY" "$f" >"$f.log" 2>&1
  rc=$?
  [ $rc -eq 1 ] || fail "$f: status $rc, expected 1"
  grep -q "Pas de donn" "$f.log" || fail "$f: no refusal message"
  [ -e "${f%.*}.fit" ] && fail "$f: output left behind"
  checks=$((checks + 1))
done

echo "vendor raw oracle: $checks checks, $failures failures"
[ $failures -eq 0 ]
