#!/usr/bin/env bash
# Cross-checks the CRW, RAF, DC120 and RW2 readers against dcraw and LibRaw:
# the small files of the fuzz seeds and the files make_raw_files writes are
# converted with unit factors, the FITS file must pass fitsverify, and its
# samples must equal those of `dcraw -D -4` and of LibRaw's unprocessed_raw.
# dcraw replaces zero Panasonic samples by their neighbours' mean: there only
# the non-zero samples are compared. The corpus files whose raw data were
# stripped must stop with status 1 and leave no output.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
SRC=${KORV_SOURCE_DIR:-$(dirname "$(readlink -f "$0")")/../..}
CORPUS=${KORV_CORPUS_DIR:-$SRC/../shared/corpus}
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
if a.shape != b.shape:
    print("differ:", a.shape, b.shape)
    sys.exit(1)
mode = sys.argv[3] if len(sys.argv) > 3 else ""
if mode == "interleaved":
    # The peers read the stream's rows in file order (the even rows, then the
    # odd ones), each holding the even columns, then the odd ones.
    h, w = b.shape
    rows = [2 * i if i < h // 2 else 2 * (i - h // 2) + 1 for i in range(h)]
    cols = [2 * x if x < w // 2 else 2 * (x - w // 2) + 1 for x in range(w)]
    placed = np.zeros_like(b)
    placed[np.ix_(rows, cols)] = b
    b = placed
differ = a != b
if mode == "nonzero":
    differ &= a != 0
if differ.any():
    print("differ:", int(differ.sum()), "of", a.size)
    sys.exit(1)
PYEOF

check() { # file peer-command [nonzero|interleaved]
  local f=$1 peer=$2 mask=${3:-} base
  base=$(basename "${f%.*}")
  [ -e "$(basename "$f")" ] || cp "$f" .
  rm -f "$base.fit" "$base.pgm"
  "$KORV_BINARY" "$(basename "$f")" C1,1,1,1 >"$base.log" 2>&1 || { fail "$f: status"; return; }
  fitsverify -q "$base.fit" >/dev/null 2>&1 || fail "$f: fitsverify"
  case $peer in
    dcraw) dcraw -D -4 -c "$(basename "$f")" >"$base.pgm" 2>/dev/null ;;
    libraw)
      unprocessed_raw "$(basename "$f")" >/dev/null 2>&1 && mv "$(basename "$f").pgm" "$base.pgm" ||
        { fail "$f: unprocessed_raw"; return; } ;;
    none) checks=$((checks + 1)); return ;;
  esac
  $PY compare.py "$base.fit" "$base.pgm" $mask || fail "$f: samples differ from $peer"
  checks=$((checks + 1))
}

check "$SRC/fuzz/corpus/crw/small.crw" dcraw
check "$SRC/fuzz/corpus/crw/small.crw" libraw
# LibRaw does not open a RAF file this small (no full preview and EXIF): the
# reader's own tests check its samples; here only the output's validity.
check "$SRC/fuzz/corpus/raf/small.raf" none

# Files written here. DC120: dcraw and LibRaw take 976 rows of 848 bytes.
# RW2: the encoded stream behind the raw-data offset tag (split offset 8200),
# the same stream ending a file without that tag, plain 16-bit words, and
# random streams (dcraw reads one byte past its block buffer where a field
# crosses the end of a block, which a width not a multiple of 14 brings about:
# that one is compared with LibRaw only).
: "${KORV_MAKE_RAW_FILES:?KORV_MAKE_RAW_FILES must name the test file writer}"
make_file() { "$KORV_MAKE_RAW_FILES" "$@" || fail "make_raw_files $*"; }
make_file dc120 dc120.kdc 848 976 4
check dc120.kdc dcraw
check dc120.kdc libraw
make_file rw2-tag tag.rw2 252 160 1
# dcraw stops at a block that passes the end of the file: 448 x 64 samples
# fill two blocks exactly.
make_file rw2-size size.rw2 448 64 2
make_file rw2-plain plain.rw2 252 160 3
make_file rw2-random rand14.rw2 252 150 4
for f in tag.rw2 size.rw2 plain.rw2 rand14.rw2; do
  check "$f" dcraw nonzero
  check "$f" libraw
done
make_file rw2-random rand.rw2 202 150 5
check rand.rw2 libraw

# RAF, one file per data layout (the file writer says what each holds): 16-bit
# samples wider or higher than the directory says (cases 1, 2), after a
# big-endian preview and the raw-layout TIFF of newer files (1), the S2Pro (3:
# dcraw turns its image, LibRaw only), the F800EXR (4), 12-bit words of the
# SL1000 (5, rows not ending on a word) and of the HS10 without geometry (5),
# the X-A10 (6), 14-bit rows of the X-A3 (10), the interleaved 12-bit streams
# (0: the peers read them in file order, placed here as the reader places them).
# dcraw refuses RAF files under 64 KiB.
make_file raf16 wide.raf 256 160 11
make_file raf16 tall.raf 160 256 12
make_file raf16-mm mm.raf 256 160 13
make_file raf-s2pro s2pro.raf 2944 2160 14
make_file raf-f800 f800.raf 256 160 15
make_file raf-sl1000 sl1000.raf 324 200 16
make_file raf-hs10 hs10.raf 0 0 17
make_file raf-xa10 xa10.raf 320 200 18
make_file raf-xa3 xa3.raf 320 200 19
make_file raf-case0 case0.raf 160 200 20
for f in wide.raf tall.raf mm.raf f800.raf sl1000.raf hs10.raf xa10.raf xa3.raf; do
  check "$f" dcraw
  check "$f" libraw
done
check s2pro.raf libraw
check case0.raf dcraw interleaved
check case0.raf libraw interleaved
for f in wide tall mm s2pro f800 sl1000 hs10 xa10 xa3 case0; do
  case $f in
    wide | mm) want=1 ;; tall) want=2 ;; s2pro) want=3 ;; f800) want=4 ;;
    sl1000 | hs10) want=5 ;; xa10) want=6 ;; xa3) want=10 ;; case0) want=0 ;;
  esac
  grep -q "^Cas=$want\$" "$f.log" || fail "$f.raf: not read as case $want"
done

# The files written here need no corpus; the stripped corpus files do.
stripped=(exiftool_CanonRaw.crw exiftool_FujiFilm.raf exiftool_Panasonic.rw2)
[ -d "$CORPUS/raw" ] || { echo "no corpus: its stripped files not checked"; stripped=(); }
for f in "${stripped[@]}"; do
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
