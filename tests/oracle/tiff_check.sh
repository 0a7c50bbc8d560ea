#!/usr/bin/env bash
# Cross-checks TIFF conversions against netpbm's tifftopnm: every file of the
# shared TIFF corpus that we decode gives exactly the grey samples tifftopnm
# reads (scaled to 8 bits below 8 bits per sample), colour the weighted grey of
# its channels; the FITS file passes fitsverify. Files we refuse stop with a
# message, exit status 1 and no output. Files made here with ImageMagick and
# libtiff cover LZW with a predictor, PackBits, 16-bit LZW and byte orders.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
corpus=${KORV_CORPUS_DIR:-$(dirname "$(readlink -f "$0")")/../../../shared/corpus}/tiff
[ -d "$corpus" ] || { echo "no shared corpus"; exit 77; }
oracle_start fitsverify tifftopnm tiffcp tiffinfo
checks=0

cat >compare.py <<'EOF'
import sys
import numpy as np
from astropy.io import fits

def read_pnm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    need = 3 if data[:2] == b"P4" else 4
    while len(fields) < need:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            while data[pos:pos + 1] not in (b"\n", b""):
                pos += 1
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    magic, w, h = fields[0].decode(), int(fields[1]), int(fields[2])
    if magic == "P4":
        rows = np.frombuffer(data[pos:], np.uint8)[: h * ((w + 7) // 8)].reshape(h, -1)
        return magic, 1, np.unpackbits(rows, axis=1)[:, :w].astype(np.int64)
    maxval = int(fields[3])
    spp = 3 if magic == "P6" else 1
    dt = np.dtype(">u2") if maxval > 255 else np.uint8
    vals = np.frombuffer(data[pos:], dt)[: w * h * spp].astype(np.int64)
    return magic, maxval, vals.reshape(h, w, spp) if spp == 3 else vals.reshape(h, w)

opts_early = dict(a.split("=", 1) for a in sys.argv[3:])
if sys.argv[1].endswith((".tif", ".tiff")):
    # Samples tifftopnm cannot give (10 to 14 bits), as GDAL reads them.
    from osgeo import gdal
    img = gdal.Open(sys.argv[1]).ReadAsArray().astype(np.int64)
    magic, maxval = "gdal", 65535
    if "palette" in opts_early:
        # The grey of each 16-bit colour of the map, as tiffinfo lists it.
        cmap = {}
        for line in open(opts_early["palette"]):
            parts = line.replace(":", " ").split()
            if len(parts) == 4 and all(p.isdigit() for p in parts):
                if int(parts[0]) in cmap:
                    break
                cmap[int(parts[0])] = [int(x) for x in parts[1:]]
        lut = np.zeros((max(cmap) + 1, 3), np.int64)
        for k, v in cmap.items():
            lut[k] = v
        img = lut[img]
else:
    magic, maxval, img = read_pnm(sys.argv[1])
opts = dict(a.split("=", 1) for a in sys.argv[3:])
if img.ndim == 3:
    wr, wg, wb = (np.longdouble(np.float32(x)) for x in (0.299, 0.587, 0.114))
    scale = int(opts.get("colourscale", "1"))
    s = (img[:, :, 0] * scale).astype(np.longdouble) * wr + \
        (img[:, :, 1] * scale).astype(np.longdouble) * wg + \
        (img[:, :, 2] * scale).astype(np.longdouble) * wb
    grey = np.clip(np.rint(s), 0, 65535).astype(np.int64)
elif magic == "P4":
    grey = (1 - img) * 255
elif maxval == 3:
    grey = img * 0x55
elif maxval == 15:
    grey = img * 0x11
else:
    grey = img
expected = grey[::-1, :]
with fits.open(sys.argv[2]) as hdul:
    data = hdul[0].data
    if data is None or data.shape != expected.shape:
        print("shape %s, expected %s" % (None if data is None else data.shape, expected.shape))
        sys.exit(1)
    got = data.astype(np.int64)
    if not np.array_equal(got, expected):
        bad = np.argwhere(got != expected)
        y, x = bad[0]
        print("%d samples differ, first at FITS row %d col %d: %s, expected %s"
              % (len(bad), y, x, got[y, x], expected[y, x]))
        sys.exit(1)
EOF

# convert NAME INPUT [options...]: runs the program in a fresh directory with
# the input linked there; the console is left in NAME/console.txt.
convert() {
  local name=$1 input=$2
  shift 2
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/$(basename "$input")"
  (cd "$name" && "$KORV_BINARY" "$(basename "$input")" "$@" >console.txt 2>&1)
}

# verify INPUT [compare options]: converts and compares with tifftopnm.
verify() {
  local input=$1
  shift
  local name stem
  name=$(basename "$input")
  stem=${name%.*}
  checks=$((checks + 1))
  convert "v_$name" "$input"
  local status=$?
  if [ $status -ne 0 ] || [ ! -s "v_$name/$stem.fit" ]; then
    fail "$name: exit status $status"; sed 's/^/    /' "v_$name/console.txt" | tail -5; return
  fi
  local report
  report=$(fitsverify -q -e "v_$name/$stem.fit" 2>&1) || fail "$name: fitsverify: $report"
  local peer="v_$name/peer.pnm"
  if [ "${1:-}" = gdal ]; then
    peer=$input
    shift
  elif [ "${1:-}" = palette ]; then
    peer=$input
    shift
    tiffinfo -c "$input" >"v_$name/cmap.txt" 2>/dev/null
    set -- "palette=v_$name/cmap.txt" "$@"
  else
    tifftopnm -byrow "$input" >"$peer" 2>/dev/null || { fail "$name: tifftopnm failed"; return; }
  fi
  report=$($PY compare.py "$peer" "v_$name/$stem.fit" "$@" 2>&1) ||
    fail "$name: $report"
}

# refused INPUT MESSAGE: status 1, the message printed, no output left.
refused() {
  local input=$1 message=$2
  local name stem
  name=$(basename "$input")
  stem=${name%.*}
  checks=$((checks + 1))
  convert "r_$name" "$input"
  local status=$?
  [ $status -eq 1 ] || fail "$name: exit status $status, expected 1"
  grep -qF "$message" "r_$name/console.txt" || fail "$name: no \"$message\" in the console"
  [ -e "r_$name/$stem.fit" ] && fail "$name: output file left behind"
}

for f in flower-minisblack-02.tif flower-minisblack-04.tif flower-minisblack-08.tif \
  flower-minisblack-16.tif flower-rgb-contig-16.tif 16bit.MM.cropped.tif \
  cmx3g8_wv_1998.260_0745_mcidas.tiff copyleft.tiff cramps.tif exiftool_ExifTool.tif \
  fei-sem-rbc.tif imagemagick_input_gray_12bit.tiff packbits-fillorder-2.tif pc260001.tif \
  quad-lzw.tif strike.tif; do
  verify "$corpus/$f"
done
# 12-bit samples, each row starting on a byte (odd widths too).
verify "$corpus/flower-minisblack-12.tif" gdal
verify "$corpus/12bit.cropped.tif" gdal
# Palettes: the grey of the 16-bit colours (tifftopnm gives only their high bytes).
for f in flower-palette-08.tif jello.tif multipage.tiff; do
  verify "$corpus/$f" palette
done

refused "$corpus/ladoga.tif" "ZLib, pas d"
refused "$corpus/fax2d.tif" "G3 fax, pas d"
refused "$corpus/10ct_32bit_128.tiff" "Valeurs flottantes pas support"
refused "$corpus/flower-minisblack-32.tif" "Seulement 0, 8, 10, 12, 14 ou 16 binons par valeur (32,0,0,0)"
refused "$corpus/flower-rgb-planar-08.tif" "Seulement plan unique"
refused "$corpus/oxford.tif" "Seulement plan unique"
refused "$corpus/hopper_bigtiff.tif" "BigTIFF pas support"

# Files made here: LZW with and without the horizontal predictor, 8 and 16
# bits, grey and colour, both byte orders, several rows per strip.
src="$corpus/pc260001.tif"
tiffcp -c lzw:2 -r 7 "$src" rgb_lzw_pred.tif
tiffcp -c packbits -r 3 -B "$src" rgb_packbits_mm.tif
tiffcp -c lzw -L "$corpus/flower-minisblack-16.tif" grey16_lzw.tif
tiffcp -c lzw:2 -B -r 5 "$corpus/cmx3g8_wv_1998.260_0745_mcidas.tiff" grey16_lzw_pred.tif
tiffcp -c lzw:2 "$corpus/fei-sem-rbc.tif" grey8_lzw_pred.tif
tiffcp -c lzw:2 "$corpus/flower-rgb-contig-16.tif" rgb16_lzw_pred.tif
for f in rgb_lzw_pred rgb_packbits_mm grey16_lzw grey16_lzw_pred grey8_lzw_pred rgb16_lzw_pred; do
  verify "$f.tif"
done
# A tiled copy is refused, never read as strips.
tiffcp -t -w 64 -l 64 "$corpus/flower-minisblack-08.tif" tiled.tif
refused tiled.tif "Image en tuiles pas support"

echo "tiff oracle: $checks files, $failures failures"
[ $failures -eq 0 ]
