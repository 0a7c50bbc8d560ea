#!/usr/bin/env bash
# DICOM benchmark: a 4096 x 4096 16-bit image (a smooth 12-bit field with noise)
# is converted to FITS by this program, uncompressed against a plain cp of the
# same file, and JPEG-Lossless-compressed (dcmcjpeg, process 14 SV1) against
# DCMTK decoding it (dcmdjpeg, then dcm2pnm to a 16-bit PGM), all in one run.
#   bash bench/dicom_bench.sh [path/to/korvalix]
# Environment: BENCH_SIZE (4096), BENCH_RUNS (best of 3).
# Targets: uncompressed at most 1.5 x cp; JPEG Lossless faster than DCMTK.
set -eu

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

# Runs a shell command; prints its wall time and its processor time (user +
# system, children included) in seconds, or "failed failed".
cat >timer.py <<'EOF_PY'
import resource, subprocess, sys, time
t0 = time.perf_counter()
r = subprocess.run(["sh", "-c", sys.argv[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
print("failed failed" if r.returncode else "%.4f %.4f" % (wall, ru.ru_utime + ru.ru_stime))
EOF_PY

# time_once "OUTPUTS" COMMAND: "wall cpu" of one run; the outputs are removed
# before and after the run, outside the timing.
time_once() {
  # shellcheck disable=SC2086
  rm -f $1
  /usr/bin/python3 timer.py "$2"
  # shellcheck disable=SC2086
  rm -f $1
}

keep_best() {
  if [ "$1" = failed ] || [ "$2" = failed ]; then echo failed; return; fi
  if [ -z "$1" ]; then echo "$2"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'
}

names=("cp" "korvalix" "dcmdjpeg + dcm2pnm" "korvalix (JPEG Lossless)")
outputs=("copy.dcm" "big.fit" "plain.dcm out.pgm" "jl/big_jl.fit")
commands=("cp big.dcm copy.dcm" "\"$bin\" big.dcm"
  "dcmdjpeg big_jl.dcm plain.dcm && dcm2pnm --write-16-bit-pnm plain.dcm out.pgm"
  "cd jl && \"$bin\" big_jl.dcm")

declare -a walls cpus
for ((round = 0; round < runs; round++)); do
  for i in "${!names[@]}"; do
    read -r wall cpu < <(time_once "${outputs[$i]}" "${commands[$i]}")
    walls[$i]=$(keep_best "${walls[$i]:-}" "$wall")
    cpus[$i]=$(keep_best "${cpus[$i]:-}" "$cpu")
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "best of $runs rounds; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-26s %10s %8s %12s %8s\n' "converter" "wall s" "x cp" "processor s" "x cp"
for i in "${!names[@]}"; do
  if [ "${walls[$i]}" = failed ]; then
    printf '%-26s %10s\n' "${names[$i]}" failed
  else
    printf '%-26s %10s %8s %12s %8s\n' "${names[$i]}" "${walls[$i]}" \
      "$(ratio "${walls[$i]}" "${walls[0]}")" "${cpus[$i]}" "$(ratio "${cpus[$i]}" "${cpus[0]}")"
  fi
done
echo
if [ "${walls[1]}" != failed ]; then
  awk -v a="${walls[1]}" -v b="${walls[0]}" \
    'BEGIN { r = a / b; printf "uncompressed target (<= 1.5 x cp, wall): %s (%.2f)\n", r <= 1.5 ? "met" : "missed", r }'
fi
if [ "${walls[3]}" != failed ] && [ "${walls[2]}" != failed ]; then
  awk -v a="${walls[3]}" -v b="${walls[2]}" \
    'BEGIN { r = a / b; printf "JPEG Lossless target (faster than DCMTK, wall): %s (%.2f x DCMTK)\n", r < 1 ? "met" : "missed", r }'
fi
