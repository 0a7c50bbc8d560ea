#!/usr/bin/env bash
# Cross-checks the PostScript/EPS reader against Ghostscript: image dictionaries
# written here (grey and colour, 8 and 4 bits, hexadecimal and ASCII85 data,
# with and without the end marker, CR LF line breaks inside the data) are
# rendered by gs at the image's own resolution and converted by us; the
# samples must agree and every FITS file must pass fitsverify. The shared
# corpus files, which hold no usable image data, must stop with status 1.
# MX5, IMC and PER files built from their layouts are converted too and checked
# against samples computed here with numpy.
#
# The files end with their data: without the end marker gs's filter reads on
# to the end of the file, so showpage is given on gs's command line.
# Ghostscript's pgmraw device drops the low bit of some greys; pnmraw keeps
# 8 bits exactly (P5 for a grey page, P6 for a colour one), so pnmraw is used
# and a colour page is weighted to grey here with our default weights.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
oracle_start fitsverify gs
checks=0

cat >make_inputs.py <<'EOF'
import base64, json, sys
import numpy as np

rng = np.random.default_rng(20260315)
cases = []

def pack(samples, bits):
    """Rows of samples (h, w*ncomp) as bytes, each row padded to a byte."""
    out = bytearray()
    for row in samples:
        if bits == 8:
            out += bytes(int(v) for v in row)
        else:
            vals = list(int(v) for v in row)
            if len(vals) % 2:
                vals.append(int(rng.integers(0, 16)))  # padding half byte, any value
            out += bytes((vals[i] << 4) | vals[i + 1] for i in range(0, len(vals), 2))
    return bytes(out)

def hex_text(data, eol):
    h = data.hex().upper()
    return eol.join(h[i:i + 70] for i in range(0, len(h), 70)) + ">"

def a85_text(data, eol, marker):
    t = base64.a85encode(data).decode()
    t = eol.join(t[i:i + 75] for i in range(0, len(t), 75))
    return t + ("~>" if marker else "")

def eps(name, w, h, ncomp, bits, encoding, eol="\n", marker=True):
    maxv = 255 if bits == 8 else 15
    samples = rng.integers(0, maxv + 1, size=(h, w * ncomp))
    data = pack(samples, bits)
    if encoding == "hex":
        text, filt = hex_text(data, eol), "ASCIIHexDecode"
    else:
        text, filt = a85_text(data, eol, marker), "ASCII85Decode"
    space = "/DeviceGray" if ncomp == 1 else "/DeviceRGB"
    decode = " ".join(["0 1"] * ncomp)
    ps = (f"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 {w} {h}\n"
          f"{w} {h} scale\n{space} setcolorspace\n<<\n/ImageType 1\n/Width {w}\n/Height {h}\n"
          f"/ImageMatrix [{w} 0 0 -{h} 0 {h}]\n/BitsPerComponent {bits}\n/Decode [{decode}]\n"
          f"/DataSource currentfile /{filt} filter\n>>\nimage\n{text}")
    open(name + ".eps", "w", newline="").write(ps)
    cases.append(dict(name=name, kind="eps", w=w, h=h, ncomp=ncomp, bits=bits))

eps("grey8_hex", 37, 23, 1, 8, "hex")
eps("grey8_a85", 41, 19, 1, 8, "a85")
eps("grey8_a85_nomarker", 40, 10, 1, 8, "a85", marker=False)  # 400 bytes: whole groups
eps("grey8_a85_crlf", 33, 17, 1, 8, "a85", eol="\r\n")
eps("grey8_hex_cr", 29, 13, 1, 8, "hex", eol="\r")
eps("rgb8_hex", 31, 21, 3, 8, "hex")
eps("rgb8_a85", 27, 15, 3, 8, "a85", eol="\r\n")
eps("grey4_hex_odd", 35, 11, 1, 4, "hex")
eps("grey4_a85_odd", 23, 9, 1, 4, "a85")
eps("rgb4_a85_odd", 19, 7, 3, 4, "a85")

# MX5: 510 x 290 little-endian words; IMC: 55-byte header and RGB bytes; PER: tiles.
mx5 = rng.integers(0, 65536, size=(290, 510)).astype("<u2")
open("frame.mx5", "wb").write(mx5.tobytes())
np.save("frame_mx5.npy", mx5)
cases.append(dict(name="frame", kind="mx5"))

imc = rng.integers(0, 256, size=(47, 53, 3)).astype(np.uint8)
open("pic.imc", "wb").write(bytes(rng.integers(0, 256, 55).astype(np.uint8)) + imc.tobytes())
np.save("pic_imc.npy", imc)
cases.append(dict(name="pic", kind="imc", options=["I53"]))

pw, ph = 45, 37
per = rng.integers(0, 256, size=(ph, pw)).astype(np.uint8)
tw, th = (pw + 15) // 16, (ph + 15) // 16
tiles = bytearray()
for tr in range(th):
    for tc in range(tw):
        block = np.zeros((16, 16), np.uint8)
        part = per[tr * 16:tr * 16 + 16, tc * 16:tc * 16 + 16]
        block[:part.shape[0], :part.shape[1]] = part
        tiles += block.tobytes()
head = bytearray(1280)
head[0:4] = (0x00030001).to_bytes(4, "little")
head[14:16] = ph.to_bytes(2, "little")
head[18:20] = pw.to_bytes(2, "little")
open("tiles.per", "wb").write(bytes(head) + bytes(tiles))
np.save("tiles_per.npy", per)
cases.append(dict(name="tiles", kind="per"))

json.dump(cases, open("cases.json", "w"))
EOF

cat >compare.py <<'EOF'
import json, sys
import numpy as np
from astropy.io import fits
from PIL import Image

case = json.loads(sys.argv[1])
ours = fits.getdata(sys.argv[2]).astype(np.int64)[::-1, :]  # top row first
W = [np.longdouble(np.float32(x)) for x in (0.299, 0.587, 0.114)]

def weigh(r, g, b):
    s = r.astype(np.longdouble) * W[0] + g.astype(np.longdouble) * W[1] + b.astype(np.longdouble) * W[2]
    return np.clip(np.rint(s), 0, 65535).astype(np.int64)

kind = case["kind"]
if kind == "eps":
    page = np.array(Image.open(sys.argv[3])).astype(np.int64)
    scale = 17 if case["bits"] == 4 else 1  # gs spreads 4-bit samples over 0..255
    if case["ncomp"] == 1:
        expected = page if page.ndim == 2 else page[:, :, 0]
        expected = expected // scale
    else:
        expected = weigh(*(page[:, :, i] // scale for i in range(3)))
elif kind == "mx5":
    raw = np.load("frame_mx5.npy").astype(np.int64)
    cell = np.array([[0.299, 0.2935], [0.2935, 0.114]], np.float32).astype(np.float64)
    w = cell[np.arange(290)[:, None] % 2, np.arange(510)[None, :] % 2]
    expected = np.rint(raw * w).astype(np.int64) % 65536
elif kind == "imc":
    px = np.load("pic_imc.npy").astype(np.int64)
    expected = weigh(px[:, :, 0], px[:, :, 1], px[:, :, 2])
else:
    expected = np.load("tiles_per.npy").astype(np.int64)

if ours.shape != expected.shape:
    print("shape %s, expected %s" % (ours.shape, expected.shape)); sys.exit(1)
bad = np.argwhere(ours != expected)
if len(bad):
    y, x = bad[0]
    print("%d samples differ, first at row %d col %d: %d, expected %d"
          % (len(bad), y, x, ours[y, x], expected[y, x]))
    sys.exit(1)
EOF

$PY make_inputs.py || { echo "cannot build the inputs"; exit 1; }

# convert NAME FILE [OPTIONS...]: our conversion in a fresh directory; 0 when a
# FITS file came out.
convert() {
  local name=$1 file=$2
  shift 2
  rm -rf "run_$name" && mkdir "run_$name" && cp "$file" "run_$name/"
  (cd "run_$name" && "$KORV_BINARY" "$(basename "$file")" "$@" >console.txt 2>&1)
  local status=$?
  checks=$((checks + 1))
  local out="run_$name/${file%.*}.fit"
  if [ $status -ne 0 ] || [ ! -s "$out" ]; then
    fail "$name: exit status $status"; sed 's/^/    /' "run_$name/console.txt"; return 1
  fi
  local report
  report=$(fitsverify -q -e "$out" 2>&1) || fail "$name: fitsverify: $report"
  return 0
}

for c in $($PY -c 'import json; [print(json.dumps(c, separators=(",", ":"))) for c in json.load(open("cases.json"))]'); do
  name=$($PY -c 'import json,sys; print(json.loads(sys.argv[1])["name"])' "$c")
  kind=$($PY -c 'import json,sys; print(json.loads(sys.argv[1])["kind"])' "$c")
  file="$name.$kind"
  read -r -a options <<<"$($PY -c 'import json,sys; print(" ".join(json.loads(sys.argv[1]).get("options", [])))' "$c")"
  convert "$name" "$file" "${options[@]}" || continue
  page=-
  if [ "$kind" = eps ]; then
    size=$($PY -c 'import json,sys; c=json.loads(sys.argv[1]); print("%dx%d" % (c["w"], c["h"]))' "$c")
    page="$name.pnm"
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pnmraw -r72 -g"$size" -sOutputFile="$page" "$file" -c showpage \
      >gs_$name.txt 2>&1 || { fail "$name: gs failed: $(head -3 gs_$name.txt)"; continue; }
  fi
  report=$($PY compare.py "$c" "run_$name/$name.fit" "$page" 2>&1) || fail "$name: $report"
done

# Files written by other software: none holds an image dictionary we read.
corpus=${KORV_CORPUS_DIR:-}
if [ -n "$corpus" ] && [ -d "$corpus/eps" ]; then
  for f in "$corpus"/eps/*; do
    base=$(basename "$f")
    rm -rf "corpus_$base" && mkdir "corpus_$base" && cp "$f" "corpus_$base/"
    (cd "corpus_$base" && "$KORV_BINARY" "$base" >console.txt 2>&1)
    status=$?
    checks=$((checks + 1))
    [ $status -eq 1 ] || fail "corpus $base: exit status $status, expected 1"
    grep -qx "Pas d'image dans le fichier" "corpus_$base/console.txt" ||
      fail "corpus $base: no stop message: $(tail -3 "corpus_$base/console.txt")"
    ls "corpus_$base"/*.fit >/dev/null 2>&1 && fail "corpus $base: output file left behind"
  done
elif [ -n "${CI:-}" ]; then
  fail "corpus directory missing: ${corpus:-unset}/eps"
else
  echo "SKIP: corpus directory missing (${corpus:-unset}), corpus files not checked"
fi

echo "eps oracle: $checks conversions, $failures failures"
[ $failures -eq 0 ]
