#!/usr/bin/env bash
# DICOM benchmark: a 4096 x 4096 16-bit image (a smooth 12-bit field with noise)
# is converted to FITS by this program, uncompressed against a plain cp of the
# same file, and JPEG-Lossless-compressed (dcmcjpeg, process 14 SV1) against
# DCMTK decoding it (dcmdjpeg, then dcm2pnm to a 16-bit PGM), all in one run.
#   bash bench/dicom_bench.sh [path/to/korvalix]
# Environment: BENCH_SIZE (4096), BENCH_RUNS (best of 3).
# Targets: uncompressed at most 1.5 x cp; JPEG Lossless faster than DCMTK.
set -eu
bench_dir=$(dirname "$(readlink -f "$0")")

bin=$(readlink -f "${1:-build/korvalix}")
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 1; }
for tool in dcmcjpeg dcmdjpeg dcm2pnm; do
  command -v $tool >/dev/null || { echo "SKIP: $tool missing"; exit 0; }
done
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "SKIP: pydicom missing"; exit 0; }
size=${BENCH_SIZE:-4096}
runs=${BENCH_RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/korv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making a ${size} x ${size} 16-bit DICOM image..."
/usr/bin/python3 - "$size" <<'EOF_PY'
import sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
n = int(sys.argv[1])
y, x = np.mgrid[0:n, 0:n]
field = 2048 + 1500 * np.sin(x / 300.0) * np.cos(y / 470.0)
noise = np.random.default_rng(1).integers(0, 48, (n, n))
pixels = (field + noise).astype(np.uint16)
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = Dataset()
ds.file_meta = meta
ds.is_little_endian, ds.is_implicit_VR = True, False
ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
ds.Modality, ds.PatientName = "OT", "Bench^Image"
ds.Rows = ds.Columns = n
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
ds.PixelData = pixels.tobytes()
ds.save_as("big.dcm", write_like_original=False)
EOF_PY
dcmcjpeg +e1 big.dcm big_jl.dcm
echo "inputs: big.dcm $(stat -c %s big.dcm) bytes, big_jl.dcm $(stat -c %s big_jl.dcm) bytes"
mkdir jl && ln -s ../big_jl.dcm jl/big_jl.dcm
cat big.dcm big_jl.dcm >/dev/null # into the page cache for every contender alike

source "$bench_dir/bench_lib.sh"

names=("cp" "korvalix" "dcmdjpeg + dcm2pnm" "korvalix (JPEG Lossless)")
outputs=("copy.dcm" "big.fit" "plain.dcm out.pgm" "jl/big_jl.fit")
commands=("cp big.dcm copy.dcm" "\"$bin\" big.dcm"
  "dcmdjpeg big_jl.dcm plain.dcm && dcm2pnm --write-16-bit-pnm plain.dcm out.pgm"
  "cd jl && \"$bin\" big_jl.dcm")

run_rounds "$runs"
print_ratios 26
echo
if [ "${walls[1]}" != failed ]; then
  awk -v a="${walls[1]}" -v b="${walls[0]}" \
    'BEGIN { r = a / b; printf "uncompressed target (<= 1.5 x cp, wall): %s (%.2f)\n", r <= 1.5 ? "met" : "missed", r }'
fi
if [ "${walls[3]}" != failed ] && [ "${walls[2]}" != failed ]; then
  awk -v a="${walls[3]}" -v b="${walls[2]}" \
    'BEGIN { r = a / b; printf "JPEG Lossless target (faster than DCMTK, wall): %s (%.2f x DCMTK)\n", r < 1 ? "met" : "missed", r }'
fi
