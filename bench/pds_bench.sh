#!/bin/bash
# Speed of a large uncompressed PDS image (8-bit samples, attached label)
# converted to FITS, measured in the same run against cp of the same file and
# against gdal_translate to FITS. Prints wall and processor times (best of
# RUNS rounds) and the ratios.
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

# Rounds run every contender once, so that a change in the machine's load
# touches them all alike; each keeps its best wall and processor times.
"$PY" - "$RUNS" "$BIN" <<'PYEOF'
import os, resource, subprocess, sys, time
runs, binary = int(sys.argv[1]), sys.argv[2]
contenders = [("cp", ["cp", "big.img", "copy.img"], "copy.img"),
              ("korvalix PDS -> .fit", [binary, "big.img"], "big.fit"),
              ("gdal_translate -of FITS", ["gdal_translate", "-q", "-of", "FITS", "big.img", "gdal.fits"],
               "gdal.fits")]
best = {name: [float("inf"), float("inf")] for name, _, _ in contenders}
for _ in range(runs):
    for name, cmd, out in contenders:
        for f in (out, out + ".aux.xml"):
            if os.path.exists(f):
                os.remove(f)
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        rc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        t1 = time.perf_counter()
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        if rc != 0:
            sys.exit("%s failed (status %d)" % (name, rc))
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        best[name] = [min(best[name][0], t1 - t0), min(best[name][1], cpu)]
size = os.path.getsize("big.img")
print("PDS image, %d bytes; best of %d rounds; load average %s" %
      (size, runs, open("/proc/loadavg").read().split()[0]))
print("%-26s %9s %7s %12s %7s" % ("converter", "wall s", "x cp", "processor s", "x cp"))
cw, cc = best["cp"]
for name, _, _ in contenders:
    w, c = best[name]
    print("%-26s %9.4f %7.2f %12.4f %7.2f" % (name, w, w / cw, c, c / cc))
kw, kc = best["korvalix PDS -> .fit"]
gw, gc = best["gdal_translate -of FITS"]
print("time target (<= 1.5 x cp): wall %.2f, processor %.2f" % (kw / cw, kc / cc))
print("gdal_translate / korvalix: wall %.2f, processor %.2f" % (gw / kw, gc / kc))
PYEOF
