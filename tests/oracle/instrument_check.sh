#!/usr/bin/env bash
# Cross-checks the instrument readers against peers: ST-7/ST-8 images written
# here from the published layout (plain ones read by netpbm's sbigtopgm,
# compressed ones against the writer's own samples), SER videos written with
# numpy (every frame, both byte orders, 8 and 16 bits, mono and RGB), and the
# real SPE files of the shared corpus read with numpy. Every FITS file must
# pass fitsverify and read back in astropy with the expected samples.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
oracle_start fitsverify sbigtopgm
corpus=${KORV_CORPUS_DIR:-$(dirname "$(readlink -f "$0")")/../../../shared/corpus}
[ -d "$corpus/spe" ] || { echo "shared corpus absent: skipped"; exit 77; }
checks=0

cat >make_files.py <<'EOF'
import struct, sys
import numpy as np

rng = np.random.default_rng(7)

def sbig(name, w, h, compressed, samples):
    lines = ["ST-7 Compressed Image" if compressed else "ST-7 Image", "File_version = 3",
             "Data_version = 1", "Exposure = 1500", "Focal_length = 80", "Width = %d" % w,
             "Height = %d" % h, "Date = 01/02/05", "Time = 03:04:05", "X_pixel_size = 0.0090",
             "Y_pixel_size = 0.0090", "End"]
    head = "".join(l + "\n\r" for l in lines).encode().ljust(2048, b"\0")
    body = bytearray()
    for row in samples:
        if not compressed:
            body += row.astype("<u2").tobytes()
            continue
        coded = bytearray(struct.pack("<H", int(row[0])))
        for a, b in zip(row[:-1], row[1:]):
            d = int(b) - int(a)
            coded += struct.pack("<b", d) if -127 <= d <= 127 else b"\x80" + struct.pack("<H", int(b))
        if len(coded) >= 2 * w:
            coded = bytearray(row.astype("<u2").tobytes())
        body += struct.pack("<H", len(coded)) + coded
    open(name, "wb").write(head + body)
    np.save(name + ".npy", samples)

def ser(name, w, h, frames, bits, colour, flag):
    planes = 3 if colour in (100, 101) else 1
    hdr = b"ORACLE-SER\0\0\0\0" + struct.pack("<7i", 0, colour, flag, w, h, bits, frames)
    hdr += b"obs".ljust(40, b"\0") + b"cam".ljust(40, b"\0") + b"scope".ljust(40, b"\0")
    hdr += struct.pack("<QQ", 638457000000000000, 638457000000000000)
    top = 1 << bits
    data = rng.integers(0, top, size=(frames, h, w * planes))
    if bits > 8:
        raw = data.astype(">u2" if flag == 1 else "<u2").tobytes()
    else:
        raw = data.astype(np.uint8).tobytes()
    stamps = b"".join(struct.pack("<Q", 638457000000000000 + 1000000 * k) for k in range(frames))
    open(name, "wb").write(hdr + raw + stamps)
    np.save(name + ".npy", data)

w, h = 123, 45
smooth = (np.add.outer(np.arange(h) * 40, np.arange(w) * 3) + 1000).astype(np.int64)
smooth[:, ::17] += 30000  # jumps that need the escape
smooth %= 65536
sbig("plain.st7", w, h, False, smooth)
sbig("packed.st7", w, h, True, smooth)
noise = rng.integers(0, 65536, size=(30, 77))
sbig("plain.st8", 77, 30, False, noise)
sbig("packed.st8", 77, 30, True, noise)
for bits in (8, 16):
    for flag in (0, 1):
        ser("v%d_%d.ser" % (bits, flag), 31, 17, 4, bits, 0, flag)
ser("rgb.ser", 9, 5, 3, 16, 100, 0)
EOF
$PY make_files.py || { echo "FAIL: writing the test files"; exit 1; }

cat >compare.py <<'EOF'
import sys
import numpy as np
from astropy.io import fits
fit, expected = sys.argv[1], np.load(sys.argv[2])
sel = sys.argv[3] if len(sys.argv) > 3 else ""
if sel.startswith("frame="):
    expected = expected[int(sel[6:]) - 1]
elif sel.startswith("plane="):
    f, p = (int(x) for x in sel[6:].split(","))
    expected = expected[f - 1][:, p::3]
got = fits.getdata(fit).astype(np.int64)[::-1]  # FITS holds the bottom row first
if got.shape != expected.shape or not (got == expected).all():
    print("samples differ: %s %s" % (got.shape, expected.shape)); sys.exit(1)
EOF

# Reads a binary PGM (as sbigtopgm writes it) and compares it with a FITS file.
cat >pgm_compare.py <<'EOF'
import sys
import numpy as np
from astropy.io import fits
data = open(sys.argv[1], "rb").read()
words, pos = [], 0
while len(words) < 4:
    while data[pos:pos + 1].isspace(): pos += 1
    start = pos
    while not data[pos:pos + 1].isspace(): pos += 1
    words.append(data[start:pos])
w, h, maxval = int(words[1]), int(words[2]), int(words[3])
pix = np.frombuffer(data[pos + 1:], ">u2" if maxval > 255 else "u1")[: w * h].reshape(h, w)
got = fits.getdata(sys.argv[2]).astype(np.int64)[::-1]
same = got.shape == pix.shape and (got == pix).all()
print("same" if same else "differ")
EOF

convert() { # file [image suffix] [options...]
  local file=$1 suffix=$2; shift 2
  rm -f "${file%.*}.fit"
  "$KORV_BINARY" "$file$suffix" "$@" >"$file.log" 2>&1 || { fail "$file$suffix: status $?"; return 1; }
  fitsverify -q -e "${file%.*}.fit" >/dev/null 2>&1 || fail "$file$suffix: fitsverify"
  checks=$((checks + 1))
}

for f in plain.st7 packed.st7 plain.st8 packed.st8; do
  convert "$f" "" && { $PY compare.py "${f%.*}.fit" "$f.npy" || fail "$f: samples"; }
done
for f in plain.st7 plain.st8; do
  convert "$f" "" || continue
  sbigtopgm "$f" >"$f.pgm" 2>/dev/null || { fail "sbigtopgm $f"; continue; }
  [ "$($PY pgm_compare.py "$f.pgm" "${f%.*}.fit")" = same ] || fail "$f: differs from sbigtopgm"
done
# netpbm's reader of compressed rows is known to misread them on this system;
# its result is shown, not judged.
convert packed.st7 "" && sbigtopgm packed.st7 >packed.pgm 2>/dev/null &&
  echo "note: sbigtopgm on the compressed file: $($PY pgm_compare.py packed.pgm packed.fit)"

for bits in 8 16; do
  for flag in 0 1; do
    f=v${bits}_$flag.ser
    for n in 1 2 3 4; do
      convert "$f" ",$n" && { $PY compare.py "${f%.*}.fit" "$f.npy" frame=$n || fail "$f,$n"; }
    done
  done
done
for p in 0 1 2; do
  weights=(C1,0,0 C0,1,0 C0,0,1)
  convert rgb.ser ",2" "${weights[$p]}" && { $PY compare.py rgb.fit rgb.ser.npy plane=2,$p || fail "rgb plane $p"; }
done

cat >spe_expected.py <<'EOF'
import sys
import numpy as np
d = open(sys.argv[1], "rb").read()
w, t, h = (int(np.frombuffer(d, "<u2", 1, o)[0]) for o in (42, 108, 656))
dt = {0: "<f4", 1: "<i4", 2: "<i2", 3: "<u2"}[t]
a = np.frombuffer(d, dt, w * h, 4100).astype(np.float64).reshape(h, w)
if t == 2: a += 32768
np.save(sys.argv[2], np.clip(np.rint(a), 0, 65535).astype(np.int64))
EOF
for f in "$corpus"/spe/*; do
  cp "$f" corpus.spe
  $PY spe_expected.py corpus.spe corpus.npy || { fail "$f: numpy"; continue; }
  convert corpus.spe "" && { $PY compare.py corpus.fit corpus.npy || fail "$f: samples"; }
done

echo "$checks conversions checked, $failures failures"
[ "$failures" -eq 0 ]
