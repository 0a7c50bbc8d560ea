#!/usr/bin/env bash
# Cross-checks compressed camera raw data against dcraw (-D -4) and LibRaw's
# unprocessed_raw, with unit colour factors (C1,1,1,1): DNG files with lossless
# JPEG in one strip or in tiles (12, 14, 16 bits, predictors 1 and 6, with a
# linearisation table) and NEF
# files with Nikon Huffman data (12 and 14 bits, lossless, lossy with a curve,
# lossy with the split table's shifted codes), PEF files with Pentax Huffman
# data and ORF files with Olympus compressed data, all written by the test encoders;
# the corpus DNG (DCT tiles, refused); the corpus lossless-JPEG TIFF tile against
# DCMTK's decoder of the same stream. Metadata read from the corpus raws (ISO,
# exposure, focal length, date, GPS site) are checked against exiftool.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
src=$(readlink -f "$(dirname "$(readlink -f "$0")")/../..")
corpus=${KORV_CORPUS_DIR:-$src/../shared/corpus}
[ -d "$corpus/raw" ] || { echo "no shared corpus: skipped"; exit 77; }
oracle_start fitsverify dcraw unprocessed_raw exiftool dcmdjpeg g++
# The test file writer is built with the program (same flags, sanitizers
# included); run by hand, it is compiled here against the program's library.
if [ -n "${KORV_MAKE_RAW_FILES:-}" ] && [ -x "$KORV_MAKE_RAW_FILES" ]; then
  ln -s "$KORV_MAKE_RAW_FILES" make_raw_files
else
  lib=$(dirname "$KORV_BINARY")/libkorvlib.a
  [ -f "$lib" ] || { echo "missing $lib"; exit 1; }
  g++ -std=c++20 -O2 -I"$src" "$src/tests/tools/make_raw_files.cpp" "$lib" -o make_raw_files ||
    { echo "cannot build the test file writer"; exit 1; }
fi
checks=0

cat >compare.py <<'EOF'
import re, sys
import numpy as np
from astropy.io import fits

def pgm(path):
    d = open(path, "rb").read()
    m = re.match(rb"P5\s+(\d+)\s+(\d+)\s+(\d+)\s", d)
    w, h = int(m.group(1)), int(m.group(2))
    return np.frombuffer(d[m.end():m.end() + w * h * 2], ">u2").reshape(h, w).astype(np.int64)

# FITS holds the bottom row first.
ours = np.flipud(fits.getdata(sys.argv[1]).astype(np.int64))
ref = pgm(sys.argv[2])
if ours.shape != ref.shape:
    sys.exit("shape %s, peer %s" % (ours.shape, ref.shape))
bad = np.argwhere(ours != ref)
if len(bad):
    r, c = bad[0]
    sys.exit("%d samples differ, first at row %d column %d: %d, peer %d"
             % (len(bad), r, c, ours[r, c], ref[r, c]))
EOF

# Converts $1 (with image argument $2) and checks the FITS file; the rest of
# the work is left to the caller. Sets $out.
convert() {
  local f=$1 arg=$2
  rm -rf "run_$f" && mkdir "run_$f" && ln -s "$work/$f" "run_$f/$f"
  (cd "run_$f" && "$KORV_BINARY" "$arg" C1,1,1,1 >console.txt)
  local status=$?
  out="run_$f/${f%.*}.fit"
  checks=$((checks + 1))
  if [ $status -ne 0 ] || [ ! -f "$out" ]; then
    fail "$f: status $status: $(tail -3 "run_$f/console.txt" | head -1)"
    return 1
  fi
  fitsverify -q -e "$out" >/dev/null 2>&1 || fail "$f: fitsverify: $(fitsverify -q -e "$out" 2>&1 | head -2)"
  return 0
}

# Both peers on one raw file.
against_peers() {
  local f=$1 arg=${2:-$1}
  convert "$f" "$arg" || return
  dcraw -D -4 -c "$f" >"$f.dcraw.pgm" 2>/dev/null
  $PY compare.py "$out" "$f.dcraw.pgm" || fail "$f: against dcraw -D -4"
  unprocessed_raw "$f" >/dev/null 2>&1
  $PY compare.py "$out" "$f.pgm" || fail "$f: against unprocessed_raw"
}

for kind in dng12 dng14 dng16 dng12-pred6 dng12-lin dng14-tiles; do
  ./make_raw_files "$kind" "$kind.dng" 602 398 7
  against_peers "$kind.dng"
done
# A linearisation table longer than 8192 entries (14-bit data): LibRaw applies
# it; Debian's dcraw leaves the stored values of such a table.
./make_raw_files dng14-lin dng14-lin.dng 602 398 7
if convert dng14-lin.dng dng14-lin.dng; then
  unprocessed_raw dng14-lin.dng >/dev/null 2>&1
  $PY compare.py "$out" dng14-lin.dng.pgm || fail "dng14-lin.dng: against unprocessed_raw"
fi
for kind in nef12 nef14 nef12-lossless nef14-lossless nef12-curve nef14-curve nef12-split nef14-split; do
  ./make_raw_files "$kind" "$kind.nef" 640 426 11
  against_peers "$kind.nef"
done
# Pentax Huffman data (12 and 14 bits; the table in an "AOC" and in a "PENTAX"
# maker note; a little-endian file), Olympus compressed data (a noisy image too,
# whose stream takes more than 16 bits a sample) and Olympus packed 12-bit samples.
for kind in pef12 pef14 pef12-pentax pef14-ii orf orf-noisy orf12-plain; do
  ./make_raw_files "$kind" "$kind.${kind:0:3}" 640 426 13
  against_peers "$kind.${kind:0:3}"
done
# An ORF of plain 16-bit words: both peers take every 16-bit Olympus image for
# compressed data and decode noise; the words themselves are the truth.
./make_raw_files orf-plain plain.orf 64 48 5
if convert plain.orf plain.orf; then
  $PY - "$out" plain.orf <<'PYEOF' || fail "plain.orf: samples differ from its words"
import sys, numpy as np
from astropy.io import fits
ours = np.flipud(fits.getdata(sys.argv[1]).astype(np.int64))
h, w = ours.shape
words = np.frombuffer(open(sys.argv[2], "rb").read()[-2 * w * h:], "<u2").reshape(h, w)
sys.exit(0 if (ours == words).all() else "differ")
PYEOF
fi

# The corpus DNG holds DCT-coded tiles (SOF1, 8 x 8 blocks), which the peers
# decode with a DCT decoder: not lossless JPEG, refused before any output. Its
# raw image is IFD0 (no sub-directory), taken without an image number.
rm -rf dct && mkdir dct && ln -s "$corpus/raw/Blackmagic.dng" dct/Blackmagic.dng
(cd dct && "$KORV_BINARY" Blackmagic.dng >console.txt)
status=$?
checks=$((checks + 1))
{ [ $status -eq 1 ] && grep -aq "Compression pas support" dct/console.txt && [ ! -e dct/Blackmagic.fit ]; } ||
  fail "Blackmagic.dng: status $status, expected a refusal of its DCT tiles"

# The corpus lossless-JPEG tile: its stream decoded by DCMTK inside a DICOM wrapper.
cp "$corpus/tiff/jpeg-lossless-16bit-gray.tif" ljtile.tif
if convert ljtile.tif ljtile.tif; then
  $PY - "$corpus/tiff/jpeg-lossless-16bit-gray.tif" <<'EOF'
import sys, struct
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.uid import JPEGLosslessSV1, JPEGLossless, generate_uid
d = open(sys.argv[1], "rb").read()
start = d.find(b"\xff\xd8\xff")
end = d.find(b"\xff\xd9", start) + 2
stream = d[start:end]
sv = stream[stream.find(b"\xff\xda") + 4 + 1 + 2 * stream[stream.find(b"\xff\xda") + 4]]
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = JPEGLosslessSV1 if sv == 1 else JPEGLossless
ds = Dataset(); ds.file_meta = meta
ds.SOPClassUID = meta.MediaStorageSOPClassUID; ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
ds.Rows = ds.Columns = 512; ds.SamplesPerPixel = 1; ds.PhotometricInterpretation = "MONOCHROME2"
ds.BitsAllocated = 16; ds.BitsStored = 16; ds.HighBit = 15; ds.PixelRepresentation = 0
ds.PixelData = encapsulate([stream]); ds["PixelData"].is_undefined_length = True
ds.is_little_endian = True; ds.is_implicit_VR = False
ds.save_as("ljtile.dcm", write_like_original=False)
EOF
  if dcmdjpeg ljtile.dcm ljtile_raw.dcm >/dev/null 2>&1; then
    $PY - "$out" <<'EOF' || fail "jpeg-lossless-16bit-gray.tif: against DCMTK"
import sys
import numpy as np, pydicom
from astropy.io import fits
ours = np.flipud(fits.getdata(sys.argv[1]).astype(np.int64))
ref = pydicom.dcmread("ljtile_raw.dcm").pixel_array.astype(np.int64)
if ours.shape != ref.shape or (ours != ref).any():
    sys.exit("differs from DCMTK: %d samples" % (ours != ref).sum() if ours.shape == ref.shape else "shape")
EOF
  else
    fail "dcmdjpeg cannot decode the corpus tile stream"
  fi
fi

# Metadata of the corpus raws, as exiftool reads them (the metadata-only ones
# stop for lack of image data, after the listing).
meta() { # file option-to-exiftool -> value
  exiftool -s3 -n "-$2" "$1" 2>/dev/null | head -1
}
listing() { # file image-arg -> console
  rm -rf "meta_$1" && mkdir "meta_$1" && ln -s "$corpus/raw/$1" "meta_$1/$1"
  (cd "meta_$1" && "$KORV_BINARY" "$2" >console.txt 2>&1)
  cat "meta_$1/console.txt"
}
near() { # a b tolerance
  $PY -c "import sys; sys.exit(0 if abs(float('$1') - float('$2')) <= $3 else 1)" 2>/dev/null
}
for f in exiftool_Nikon.nef exiftool_CanonRaw.cr2 exiv2_IMG_1361.dng Blackmagic.dng; do
  arg=$f
  [ $f = Blackmagic.dng ] && arg=$f,1
  console=$(listing "$f" "$arg")
  iso=$(meta "$corpus/raw/$f" ISO)
  if [ -n "$iso" ]; then
    checks=$((checks + 1))
    ours=$(echo "$console" | grep -aoE '(Sen|sensibilit.: |ISO) [0-9.]+' | head -1 | grep -oE '[0-9.]+$')
    near "${ours:-0}" "$iso" 0 || fail "$f: ISO $ours, exiftool $iso"
  fi
  exp=$(meta "$corpus/raw/$f" ExposureTime)
  if [ -n "$exp" ]; then
    checks=$((checks + 1))
    ours=$(echo "$console" | grep -aoE '(Dex|dur.e:) [0-9.e-]+' | head -1 | grep -oE '[0-9.e-]+$')
    near "${ours:-0}" "$exp" 1e-6 || fail "$f: exposure $ours, exiftool $exp"
  fi
  foc=$(meta "$corpus/raw/$f" FocalLength)
  if [ -n "$foc" ]; then
    checks=$((checks + 1))
    ours=$(echo "$console" | grep -aoE '(Foc|Exif, f:) [0-9.]+' | head -1 | grep -oE '[0-9.]+$')
    near "${ours:-0}" "$foc" 0.01 || fail "$f: focal length $ours, exiftool $foc"
  fi
  # Nikon maker-note values stored outside their entry, at their true offsets.
  pix=$(meta "$corpus/raw/$f" SensorPixelSize | cut -d' ' -f1)
  if [ -n "$pix" ]; then
    checks=$((checks + 1))
    ours=$(echo "$console" | grep -aoE 'Tailles: [0-9.]+' | head -1 | grep -oE '[0-9.]+$')
    near "$($PY -c "print(float('${ours:-0}') * 1000)")" "$pix" 0.001 || fail "$f: pixel size $ours mm, exiftool $pix um"
  fi
  lat=$(meta "$corpus/raw/$f" GPSLatitude)
  if [ -n "$lat" ]; then
    checks=$((checks + 1))
    ours=$(echo "$console" | grep -aoE 'Lat=-?[0-9.]+' | head -1 | cut -d= -f2)
    near "${ours:-0}" "$lat" 0.0001 || fail "$f: latitude $ours, exiftool $lat"
    lon=$(meta "$corpus/raw/$f" GPSLongitude)
    ours=$(echo "$console" | grep -aoE 'Lon=-?[0-9.]+' | head -1 | cut -d= -f2)
    near "${ours:-0}" "$lon" 0.0001 || fail "$f: longitude $ours, exiftool $lon"
  fi
done

# Header cards of a converted NEF against exiftool's reading of it.
./make_raw_files nef14-curve meta.nef 64 48 3
if convert meta.nef meta.nef; then
  checks=$((checks + 1))
  $PY - "$out" "$(meta meta.nef ISO)" "$(meta meta.nef ExposureTime)" "$(meta meta.nef FocalLength)" \
    "$(exiftool -s3 -DateTimeOriginal meta.nef)" <<'EOF' || fail "meta.nef: header against exiftool"
import sys
from astropy.io import fits
h = fits.getheader(sys.argv[1])
iso, exp, foc, date = float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
problems = []
if abs(h.get("EXPTIME", -1) - exp) > 1e-9: problems.append("EXPTIME %s" % h.get("EXPTIME"))
if abs(float(h.get("DETECISO", -1)) - iso) > 0: problems.append("DETECISO %s" % h.get("DETECISO"))
if abs(float(h.get("FOCAL", h.get("FOCALLEN", -1))) - foc) > 0.01: problems.append("focal")
want = date.replace(":", "-", 2).replace(" ", "T")
if not str(h.get("DATE-OBS", "")).startswith(want[:16]): problems.append("DATE-OBS %s vs %s" % (h.get("DATE-OBS"), want))
if problems: sys.exit("; ".join(problems))
EOF
fi

echo "raw lossless JPEG and NEF oracle: $checks checks, $failures failures"
[ $failures -eq 0 ]
