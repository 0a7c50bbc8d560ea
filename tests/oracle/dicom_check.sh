#!/usr/bin/env bash
# Cross-checks DICOM conversions against DCMTK and pydicom: every corpus file,
# and files made here with img2dcm, dcmconv (each byte order and value
# representation), dcmcjpeg (lossless processes 14 and 14 SV1, every predictor)
# and dcmcrle (with and without offset tables, split fragments), converts to a
# FITS file that passes fitsverify and whose samples are pydicom's decoded
# values (after dcmdjpeg for JPEG) through the value transform; unsupported
# compressions stop with their message.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
corpus=${KORV_CORPUS_DIR:-}/dicom
if [ ! -d "$corpus" ]; then
  if [ -n "${CI:-}" ]; then echo "FAIL: corpus directory missing: $corpus"; exit 1; fi
  echo "SKIP: corpus directory missing ($corpus)"
  exit 77
fi
oracle_start fitsverify img2dcm dcmconv dcmcjpeg dcmdjpeg dcmcrle dcmdrle ppmtobmp pgmramp ppmpat pnmtojpeg
$PY -c 'import pydicom' || { echo "missing pydicom for $PY"; exit 1; }
checks=0

# compare.py DICOM FITS [ref=DICOM] [frame=k] [offset=z] [scale=s] [weights=r,v,b] [mask=1]:
# the FITS samples (bottom row first) against pydicom's values of ref (default
# the DICOM itself), rounded and clamped to 0..65535; colour weighted to grey.
cat >compare.py <<'EOF'
import sys
import numpy as np
import pydicom
from astropy.io import fits

src, fit = sys.argv[1], sys.argv[2]
opts = dict(a.split("=", 1) for a in sys.argv[3:])
ds = pydicom.dcmread(opts.get("ref", src), force=True)
if "TransferSyntaxUID" not in getattr(ds, "file_meta", {}):
    # ACR-NEMA: no meta header; implicit little-endian, grey.
    ds.file_meta = pydicom.dataset.FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = pydicom.uid.ImplicitVRLittleEndian
    ds.is_implicit_VR, ds.is_little_endian = True, True
    ds.setdefault("SamplesPerPixel", 1)
    ds.setdefault("PhotometricInterpretation", "MONOCHROME2")
arr = ds.pixel_array
if int(ds.get("NumberOfFrames", 1) or 1) > 1:
    arr = arr[int(opts.get("frame", "1")) - 1]
photometric = ds.PhotometricInterpretation
if photometric == "PALETTE COLOR":
    from pydicom.pixel_data_handlers.util import apply_color_lut
    arr = apply_color_lut(arr, ds)
if arr.ndim == 3:
    if photometric.startswith("YBR"):
        from pydicom.pixel_data_handlers.util import convert_color_space
        arr = convert_color_space(arr, photometric, "RGB")
    w = [np.longdouble(np.float32(x)) for x in opts.get("weights", "0.299,0.587,0.114").split(",")]
    a = arr.astype(np.longdouble)
    expected = np.clip(np.rint(a[..., 0] * w[0] + a[..., 1] * w[1] + a[..., 2] * w[2]), 0, 65535)
else:
    if "mask" in opts:
        # Bits above the high bit are no part of the value (pydicom keeps them).
        arr = arr & ((1 << ds.BitsStored) - 1)
    scale = float(np.float32(opts.get("scale", "1")))
    offset = float(np.float32(opts.get("offset", "0")))
    expected = np.clip(np.rint(arr.astype(np.float64) * scale + offset), 0, 65535)
with fits.open(fit) as hdul:
    got = hdul[0].data.astype(np.float64)[::-1]
    header = hdul[0].header
problems = []
if got.shape != expected.shape:
    problems.append("shape %s, expected %s" % (got.shape, expected.shape))
else:
    bad = np.argwhere(got != expected)
    if len(bad):
        y, x = bad[0]
        problems.append("%d samples differ, first at row %d col %d: %s, expected %s"
                        % (len(bad), y, x, got[y, x], expected[y, x]))
name = str(ds.get("PatientName", ""))
if name and "named" not in opts and name.split("^")[0] in str(header.get("OBJECT", "")):
    problems.append("patient name in OBJECT without option +")
if "named" in opts and name.split("^")[0] not in str(header.get("OBJECT", "")):
    problems.append("patient name missing from OBJECT with option +")
if problems:
    print("; ".join(problems))
    sys.exit(1)
EOF

# run_korv NAME INPUT [IMAGE_SUFFIX] [OPTIONS...]: runs the program in a fresh
# directory; leaves NAME/console.txt and the status in $status.
run_korv() {
  local name=$1 input=$2 suffix=$3
  shift 3
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/in.dcm"
  (cd "$name" && "$KORV_BINARY" "in.dcm$suffix" "$@" >console.txt 2>&1)
  status=$?
  checks=$((checks + 1))
}

# verify NAME INPUT SUFFIX [compare options...] [-- program options]
verify() {
  local name=$1 input=$2 suffix=$3
  shift 3
  local cmp=() opt=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do cmp+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  opt=("$@")
  run_korv "$name" "$input" "$suffix" "${opt[@]}"
  local want=0
  if [ $status -ne "$want" ]; then
    fail "$name: exit status $status"; sed 's/^/    /' "$name/console.txt" | tail -5; return
  fi
  local report
  report=$(fitsverify -q -e "$name/in.fit" 2>&1) || fail "$name: fitsverify: $report"
  report=$($PY compare.py "$input" "$name/in.fit" "${cmp[@]}" 2>&1) || fail "$name: $report"
}

# refuse NAME INPUT MESSAGE: status 1, the message, no output file.
refuse() {
  run_korv "$1" "$2" ""
  [ $status -eq 1 ] || fail "$1: exit status $status, expected 1"
  grep -qF "$3" "$1/console.txt" || fail "$1: no message '$3'"
  [ ! -e "$1/in.fit" ] || fail "$1: output file left behind"
}

# The corpus.
for f in "$corpus"/*.dcm; do
  base=$(basename "$f" .dcm)
  case $base in
    JPEG-lossy) refuse "corpus_$base" "$f" "Compression pas support" ;;
    exiftool_DICOM)
      # Its pixel data were cut to 18 bytes: converted, said to be truncated.
      run_korv "corpus_$base" "$f" ""
      [ $status -eq 3 ] || fail "corpus_$base: exit status $status, expected 3"
      grep -q "Fichier tronqu" "corpus_$base/console.txt" || fail "corpus_$base: truncation not reported"
      ;;
    *) verify "corpus_$base" "$f" "" ;;
  esac
done
# Run-length corpus files against DCMTK's decoder too.
for base in CT1_RLE MR_small_RLE SC_rgb_rle; do
  dcmdrle -q "$corpus/$base.dcm" "drle_$base.dcm" || { fail "dcmdrle $base"; continue; }
  verify "drle_$base" "$corpus/$base.dcm" "" "ref=drle_$base.dcm"
done
# Frames of a multi-frame file, and one beyond the last.
mf=$corpus/MR_Explicit_Little_MultiFrame.dcm
for k in 1 7 16; do verify "frame_$k" "$mf" ",$k" "frame=$k"; done
run_korv frame_17 "$mf" ",17"
[ $status -eq 1 ] && grep -q "Image 17 absente" frame_17/console.txt || fail "frame_17: not refused"
# Signed samples through the value transform; the patient's name only with +.
verify signed_f "$corpus/CT_small.dcm" "" offset=1024 scale=0.5 -- F1024,0.5
verify named "$corpus/MR_small.dcm" "" named=1 -- +

# Files made by DCMTK from the corpus.
for base in MR_small CT_small CT_Explicit_Little SC_rgb_small_odd ExplVR_BigEnd OT_Implicit_Little_Headless; do
  src=$corpus/$base.dcm
  if [ "$base" = OT_Implicit_Little_Headless ]; then
    dcmconv -q -f +te "$src" "$base.dcm" || { fail "dcmconv $base"; continue; }
    src=$base.dcm
  fi
  for ts in +te +ti +tb; do
    dcmconv -q "$ts" "$src" "conv_${base}${ts}.dcm" || { fail "dcmconv $ts $base"; continue; }
    # DCMTK keeps the values; pydicom reads 8-bit big-endian words unswapped.
    verify "conv_${base}${ts}" "conv_${base}${ts}.dcm" "" "ref=$src"
  done
  dcmcjpeg -q +e1 "$src" "sv1_$base.dcm" && dcmdjpeg -q "sv1_$base.dcm" "ref_sv1_$base.dcm" &&
    verify "sv1_$base" "sv1_$base.dcm" "" "ref=ref_sv1_$base.dcm" || fail "dcmcjpeg +e1 $base"
  for sv in 1 2 3 4 5 6 7; do
    dcmcjpeg -q +el +sv $sv "$src" "p14_${sv}_$base.dcm" &&
      dcmdjpeg -q "p14_${sv}_$base.dcm" "ref_p14_${sv}_$base.dcm" &&
      verify "p14_${sv}_$base" "p14_${sv}_$base.dcm" "" "ref=ref_p14_${sv}_$base.dcm" ||
      fail "dcmcjpeg +el +sv $sv $base"
  done
  for layout in "+ot" "-ot" "+fs 1"; do
    tag=${layout// /}
    # shellcheck disable=SC2086
    dcmcrle -q $layout "$src" "rle${tag}_$base.dcm" 2>/dev/null &&
      dcmdrle -q "rle${tag}_$base.dcm" "ref_rle${tag}_$base.dcm" 2>/dev/null &&
      verify "rle${tag}_$base" "rle${tag}_$base.dcm" "" "ref=ref_rle${tag}_$base.dcm" ||
      fail "dcmcrle $layout $base"
  done
done
# Multi-frame, compressed: frames found through the offset table, or by their
# JPEG start when the table is empty and the frames are split in fragments.
dcmcjpeg -q +e1 "$mf" mf_sv1.dcm && dcmcjpeg -q +e1 +fs 4 -ot "$mf" mf_sv1_split.dcm &&
  dcmcrle -q -ot "$mf" mf_rle.dcm && dcmdjpeg -q mf_sv1.dcm mf_ref.dcm || fail "multi-frame fixtures"
for k in 2 16; do
  verify "mf_sv1_$k" mf_sv1.dcm ",$k" "frame=$k" "ref=mf_ref.dcm"
  verify "mf_sv1_split_$k" mf_sv1_split.dcm ",$k" "frame=$k" "ref=mf_ref.dcm"
  verify "mf_rle_$k" mf_rle.dcm ",$k" "frame=$k"
done

# img2dcm: colour and grey from BMP pictures (uncompressed RGB / MONOCHROME2),
# and a baseline JPEG that stays encapsulated and is refused.
ppmpat -g2 61 37 >pat.ppm && ppmtobmp pat.ppm >pat.bmp 2>/dev/null &&
  img2dcm -q -i BMP pat.bmp img_rgb.dcm && verify img_rgb img_rgb.dcm "" || fail "img2dcm rgb"
verify img_rgb_w img_rgb.dcm "" weights=0.5,0.25,0.25 -- C0.5,0.25,0.25
pgmramp -diag 45 29 | ppmtobmp >ramp.bmp 2>/dev/null &&
  img2dcm -q -i BMP ramp.bmp img_grey.dcm && verify img_grey img_grey.dcm "" || fail "img2dcm grey"
pnmtojpeg pat.ppm >pat.jpg 2>/dev/null && img2dcm -q pat.jpg img_jpeg.dcm &&
  refuse img_jpeg img_jpeg.dcm "Compression pas support" || fail "img2dcm jpeg"

# Palette colour, unsigned 16-bit samples above 32767 and 12 stored bits with
# overlay bits above them, made with pydicom.
cat >make.py <<'EOF'
import numpy as np, pydicom
from pydicom.uid import ExplicitVRLittleEndian
ds = pydicom.dcmread("conv_OT_Implicit_Little_Headless+te.dcm")
ds.PhotometricInterpretation = "PALETTE COLOR"
for i, f in enumerate((257, 97, 5000)):
    ds.add_new(0x00281101 + i, "US", [256, 0, 16])
    ds.add_new(0x00281201 + i, "OW", (np.arange(256) * f % 65536).astype("<u2").tobytes())
ds.save_as("palette.dcm")
ds = pydicom.dcmread("conv_MR_small+te.dcm")
a = (np.arange(64 * 64, dtype=np.uint32) * 16 % 65536).astype(np.uint16).reshape(64, 64)
ds.PixelRepresentation = 0
ds.PixelData = a.tobytes()
ds.save_as("u16.dcm")
ds.BitsStored, ds.HighBit = 12, 11
ds.PixelData = (a | 0xF000).tobytes()
ds.save_as("u12_overlay.dcm")
EOF
$PY make.py || fail "pydicom fixtures"
verify palette palette.dcm ""
verify u16 u16.dcm ""
verify u12_overlay u12_overlay.dcm "" mask=1

echo "dicom oracle: $checks conversions, $failures failures"
[ $failures -eq 0 ]
