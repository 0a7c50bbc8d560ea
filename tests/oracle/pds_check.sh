#!/usr/bin/env bash
# Cross-checks the planetary readers against GDAL and against the files' own
# statements: every corpus file is converted in a directory of its own (with the
# data file of a detached label beside it), every FITS output must pass
# fitsverify, the plain PDS and VICAR images must hold exactly the samples GDAL
# reads, through the reader's rule (signed 16-bit samples shifted by 32768,
# masked, times SCALING_FACTOR, rounded), and the Huffman-coded Voyager frame
# must give the image histogram its label stores. Header cards carry the
# mission facts.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
corpus=${KORV_CORPUS_DIR:-}
if [ -z "$corpus" ] || [ ! -d "$corpus/pds" ] || [ ! -d "$corpus/vicar" ]; then
  echo "SKIP: corpus directory missing (${corpus:-unset})"
  exit 77
fi
oracle_start fitsverify
$PY -c 'from osgeo import gdal' || { echo "missing python3-gdal for $PY"; exit 1; }
checks=0

cat >compare.py <<'PYEOF'
import sys, struct
import numpy as np
from astropy.io import fits

def fits_rows(path):
    with fits.open(path) as h:
        return h[0].data.astype(np.int64)[::-1], h[0].header  # top row first

def rule(v, signed, scale, mask=65535):
    v = v.astype(np.int64)
    if signed:
        v = (v + 32768) & 0xFFFF
    v = v & mask
    if scale != 1:
        v = np.rint(v.astype(np.float64) * np.float64(np.float32(scale)))
    return np.clip(v, 0, 65535).astype(np.int64)

def report(name, got, expected):
    if got.shape != expected.shape:
        print("FAIL %s: shape %s, expected %s" % (name, got.shape, expected.shape)); return 1
    bad = np.argwhere(got != expected)
    if len(bad):
        y, x = bad[0]
        print("FAIL %s: %d samples differ, first at row %d col %d: %d, expected %d"
              % (name, len(bad), y, x, got[y, x], expected[y, x])); return 1
    return 0

mode, name, out = sys.argv[1], sys.argv[2], sys.argv[3]
got, hdr = fits_rows(out)
fails = 0
if mode == "gdal":
    from osgeo import gdal
    gdal.UseExceptions()
    src, rows, scale = sys.argv[4], int(sys.argv[5]), float(sys.argv[6])
    ds = gdal.Open(src)
    band = ds.GetRasterBand(1)
    data = band.ReadAsArray(0, 0, ds.RasterXSize, rows)
    signed = data.dtype.kind == "i" and data.dtype.itemsize == 2
    expected = rule(data, signed, scale)
    fails += report(name, got[:rows], expected)
elif mode == "bytes":
    # Raw bytes at an offset, optionally square-root expanded.
    src, offset, w, h, sqrt = sys.argv[4], int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7]), sys.argv[8] == "1"
    raw = np.frombuffer(open(src, "rb").read()[offset:offset + w * h], np.uint8).astype(np.int64).reshape(h, w)
    if sqrt:
        b = raw
        raw = np.select([b < 24, b < 44, b < 90, b < 185, b < 210],
                        [b, 2 * b - 23, 4 * b - 109, 8 * b - 465, 16 * b - 1937], 32 * b - 5281)
    fails += report(name, got, raw)
elif mode == "histogram":
    # The image histogram object: 256 32-bit little-endian counts from record `first`.
    src, first = sys.argv[4], int(sys.argv[5])
    raw = open(src, "rb").read()
    pos, recs = 0, []
    while pos + 2 <= len(raw) and len(recs) < first + 2:
        n = raw[pos] | raw[pos + 1] << 8
        recs.append(raw[pos + 2:pos + 2 + n]); pos += 2 + n + (n & 1)
    stored = np.array(struct.unpack("<256I", (recs[first - 1] + recs[first])[:1024]), np.int64)
    mine = np.bincount(got.ravel(), minlength=256)[:256]
    if not np.array_equal(stored, mine):
        print("FAIL %s: histogram differs in %d bins" % (name, int((stored != mine).sum()))); fails += 1
    # Continuous lines: neighbouring lines agree best without any shift.
    d = got.astype(np.float64)
    shifts = [np.abs(d[:-1, 8:-8] - np.roll(d[1:], k, axis=1)[:, 8:-8]).mean() for k in range(-3, 4)]
    if int(np.argmin(shifts)) != 3:
        print("FAIL %s: lines are offset (%s)" % (name, shifts)); fails += 1
sys.exit(1 if fails else 0)
PYEOF

# convert <name> <expected status> <file> [companion files...] -- [options]
convert() {
  local name=$1 status=$2 input=$3
  shift 3
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/$(basename "$input")"
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    ln -s "$(readlink -f "$1")" "$name/$(basename "$1")"
    shift
  done
  [ $# -gt 0 ] && shift
  (cd "$name" && "$KORV_BINARY" "$(basename "$input")" "$@" >console.txt 2>&1)
  local rc=$?
  checks=$((checks + 1))
  if [ "$rc" != "$status" ]; then
    fail "$name: exit status $rc, expected $status"
    sed 's/^/    /' "$name/console.txt" | head -20
    return 1
  fi
  out=$(ls "$name"/*.fit 2>/dev/null | head -1)
  if [ -z "$out" ]; then
    fail "$name: no output"
    return 1
  fi
  if ! fitsverify -q -e "$out" >"$name/verify.txt" 2>&1; then
    fail "$name: fitsverify"
    sed 's/^/    /' "$name/verify.txt"
  fi
  return 0
}

# card <name> <keyword> <text>: the header of the output holds the card.
card() {
  local name=$1 key=$2 text=$3
  checks=$((checks + 1))
  $PY - "$out" "$key" "$text" <<'PYEOF' || fail "$name: card $key does not hold '$text'"
import sys
from astropy.io import fits
h = fits.getheader(sys.argv[1])
v = str(h.get(sys.argv[2], ""))
sys.exit(0 if sys.argv[3] in v else 1)
PYEOF
}

gdal_check() { # name status file rows scale
  local name=$1 status=$2 file=$3 rows=$4 scale=$5
  convert "$name" "$status" "$file" || return
  $PY compare.py gdal "$name" "$out" "$file" "$rows" "$scale" || fail "$name: samples differ from GDAL"
}

p=$corpus/pds
v=$corpus/vicar
gdal_check pds3_1band 0 "$p/pds3_1band.IMG" 10 1
gdal_check pds3_3bands 0 "$p/pds3_3bands.IMG" 10 1
gdal_check nir 0 "$p/nir_cropped.img" 20 0.013
card nir ORIGIN SELENE-M
card nir INSTNAME "Multiband Imager Near Infrared"
card nir OBJECT MOON
card nir DATE-OBS 2008-09-16T20:10:30
gdal_check nacl 0 "$p/nacl.img" 10 1
card nacl INSTIDEN LROC
gdal_check ab102401 0 "$p/ab102401_cropped.img" 5 1
card ab102401 ORIGIN MARS_GLOBAL_SURVEYOR
card ab102401 FILTER R
gdal_check h0279 0 "$p/h0279_0000_re2_cropped.img" 5 1
card h0279 INSTNAME "HIGH RESOLUTION STEREO CAMERA"
# The cropped LOLA file keeps the pointers of the uncut product: the last one
# (byte 2904) is honoured, where GDAL reads the label text from byte 0; neither
# is the data, so only the conversion itself is checked.
convert ldem 0 "$p/ldem_4_cropped.img" && card ldem INSTIDEN LOLA
gdal_check galileo 0 "$v/C0003061900R.IMG" 800 1
card galileo OBJECT BLACK_SKY
gdal_check voyager_raw 0 "$v/C2069302_RAW.IMG" 800 1
# Truncated: the ten lines held are GDAL's, the rest are zeros (status 3).
gdal_check cassini_vicar 3 "$v/N1472853667_1.cropped.img" 10 1
card cassini_vicar OBJECT SATURN

# The detached Cassini label opens its data file beside it: the same samples.
if convert cassini_label 0 "$v/N1472853667_1.cropped.lbl" "$v/N1472853667_1.cropped.img"; then
  $PY compare.py gdal cassini_label "$out" "$v/N1472853667_1.cropped.img" 10 1 ||
    fail "cassini_label: samples differ from GDAL"
  card cassini_label INSTNAME "IMAGING SCIENCE SUBSYSTEM"
  card cassini_label EXPTIME 220
fi
# A .lbl label whose pointer names no file describes the .img of the same name.
if convert magellan 0 "$p/ff17_cropped.lbl" "$p/ff17_cropped.img"; then
  $PY compare.py bytes magellan "$out" "$p/ff17_cropped.img" 0 1024 1 0 || fail "magellan: samples"
  card magellan ORIGIN MAGELLAN
fi
# Square-root companded bytes (GDAL does not read this file).
if convert marci 0 "$p/MOI_000009_0294_MU_00N044W_cropped.IMG"; then
  $PY compare.py bytes marci "$out" "$p/MOI_000009_0294_MU_00N044W_cropped.IMG" 1367 128 100 1 ||
    fail "marci: samples"
  card marci BITPIX 16
fi
# The Huffman-coded Voyager frame: its image histogram is records 56 and 57.
if convert voyager_huffman 0 "$p/c0896631.imq"; then
  $PY compare.py histogram voyager_huffman "$out" "$p/c0896631.imq" 56 ||
    fail "voyager_huffman: statistics"
  card voyager_huffman ORIGIN VOYAGER_2
  card voyager_huffman INSTNAME NARROW_ANGLE_CAMERA
  card voyager_huffman EXPTIME 2.88
  card voyager_huffman DATE-OBS 1989-06-05T08:54:4
  card voyager_huffman FILTER O
fi
# Real samples are not decoded: a clear stop, no output.
for f in pds3_1band_float.IMG 3133_h1.pds_cropped.img; do
  rm -rf real && mkdir real && ln -s "$p/$f" "real/$f"
  (cd real && "$KORV_BINARY" "$f" >console.txt 2>&1)
  rc=$?
  checks=$((checks + 1))
  if [ $rc != 1 ] || ! grep -q "pas support" real/console.txt || ls real/*.fit >/dev/null 2>&1; then
    fail "$f: real samples should stop with a message (status $rc)"
  fi
done

echo "pds_check: $checks checks, $failures failures"
[ "$failures" = 0 ]
