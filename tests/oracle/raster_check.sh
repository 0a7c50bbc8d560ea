#!/usr/bin/env bash
# Cross-checks the GIF, BMP, PCX, TGA and Sun raster readers against peer
# decoders: files made with netpbm and ImageMagick, and the shared corpus
# files, are converted; every FITS file must pass fitsverify, and astropy must
# read back the samples the peer decodes (palette and grey images as their
# grey, colour with the channel weights in extended precision), bottom row
# first. Files outside what the readers take must stop with status 1.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
oracle_start fitsverify giftopnm bmptopnm pcxtoppm tgatoppm rasttopnm pamtogif ppmtobmp \
  ppmtopcx pamtotga pnmtorast ppmpat pgmramp pgmnoise pbmmake pnmquant pamdepth convert
checks=0

# compare.py PEER.pnm FITS [options]: the peer's decoded image against ours.
#   unscale=r,g,b  the peer scaled n-bit channels to 0..255: take them back to n bits
#                  and bring narrower channels to the widest one (5-6-5 gives 10,6,10 > 6 bits)
#   index1         a PBM of a 1-bit palette image whose first entry is black: the
#                  sample is the palette index, 1 for white
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
        rows = (w + 7) // 8
        bits = np.unpackbits(np.frombuffer(data[pos:pos + rows * h], np.uint8).reshape(h, rows), axis=1)
        return magic, 1, bits[:, :w].astype(np.int64)
    maxval = int(fields[3])
    spp = 3 if magic == "P6" else 1
    vals = np.frombuffer(data[pos:pos + w * h * spp], np.uint8).astype(np.int64)
    return magic, maxval, vals.reshape(h, w, spp) if spp == 3 else vals.reshape(h, w)

opts = dict(a.split("=", 1) if "=" in a else (a, "1") for a in sys.argv[3:])
magic, maxval, img = read_pnm(sys.argv[1])
weights = [float(x) for x in opts.get("weights", "0.299,0.587,0.114").split(",")]
if magic == "P4":
    # PBM 1 is black: a black and white palette gives 0 and 255.
    grey = (1 - img) if "index1" in opts else (1 - img) * 255
elif img.ndim == 3:
    chans = [img[:, :, i] for i in range(3)]
    if "unscale" in opts:
        bits = [int(b) for b in opts["unscale"].split(",")]
        top = max(bits)
        chans = [np.rint(c * ((1 << b) - 1) / maxval).astype(np.int64) << (top - b)
                 for c, b in zip(chans, bits)]
    wr, wg, wb = (np.longdouble(np.float32(x)) for x in weights)
    s = chans[0].astype(np.longdouble) * wr + chans[1].astype(np.longdouble) * wg + \
        chans[2].astype(np.longdouble) * wb
    grey = np.clip(np.rint(s), 0, 65535).astype(np.int64)
else:
    grey = img.copy()
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

# convert_one NAME INPUT [OPTIONS...]: runs the program in a fresh directory (the
# input linked there); the FITS file is NAME/out.fit.
convert_one() {
  local name=$1 input=$2
  shift 2
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/$(basename "$input")"
  (cd "$name" && "$KORV_BINARY" "$(basename "$input")" "$@" >console.txt 2>&1)
  local status=$?
  checks=$((checks + 1))
  local out
  out=$(sed -n 's/^Sor=//p' "$name/console.txt" | tail -n 1)
  if [ $status -ne 0 ] || [ -z "$out" ] || [ ! -s "$name/$out" ]; then
    fail "$name: exit status $status, no output"; sed 's/^/    /' "$name/console.txt"; return 1
  fi
  mv "$name/$out" "$name/out.fit"
}

# verify NAME INPUT PEER-COMMAND [compare options...]: PEER-COMMAND decodes the
# input (given as its last argument) to a PNM on standard output.
verify() {
  local name=$1 input=$2 peer=$3
  shift 3
  convert_one "$name" "$input" || return
  local report
  if ! report=$(fitsverify -q -e "$name/out.fit" 2>&1); then fail "$name: fitsverify: $report"; fi
  if ! $peer "$input" >"$name/peer.pnm" 2>/dev/null; then fail "$name: peer cannot read input"; return; fi
  if ! report=$($PY compare.py "$name/peer.pnm" "$name/out.fit" "$@" 2>&1); then
    fail "$name: $report"
  fi
}

# refuses NAME INPUT MESSAGE: the conversion stops with status 1 and says why.
refuses() {
  local name=$1 input=$2 message=$3
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/$(basename "$input")"
  (cd "$name" && "$KORV_BINARY" "$(basename "$input")" >console.txt 2>&1)
  local status=$?
  checks=$((checks + 1))
  if [ $status -ne 1 ] || ! grep -qF "$message" "$name/console.txt"; then
    fail "$name: expected a stop with \"$message\", status $status"; sed 's/^/    /' "$name/console.txt"
  fi
  if ls "$name"/*.fit >/dev/null 2>&1; then fail "$name: output left behind"; fi
}

im_pnm() { convert "$1" -alpha off ppm:-; }
# Pillow, for grey-and-alpha images that the other peers take for colour.
pil_pgm() {
  $PY -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).convert("L").save(sys.stdout.buffer, "PPM")' "$1"
}

# converts NAME INPUT: no peer decodes the file as it stands; the conversion
# must still succeed and pass fitsverify.
converts() {
  convert_one "$1" "$2" || return
  local report
  if ! report=$(fitsverify -q -e "$1/out.fit" 2>&1); then fail "$1: fitsverify: $report"; fi
}

# Sources: odd sizes on purpose, colour, grey and few-colour pictures.
ppmpat -g2 61 37 >pat.ppm
ppmpat -madras 45 29 | pnmquant 16 2>/dev/null >pat16c.ppm
ppmpat -tartan 33 21 | pnmquant 256 2>/dev/null >pat256c.ppm
pgmramp -diag 53 31 >ramp.pgm
pgmnoise 300 211 >noise.pgm
pbmmake -g 37 19 >grey.pbm
ppmpat -camo 640 480 >big.ppm

# GIF: every palette size, interlaced or not, 12-bit codes and table resets.
pamtogif pat256c.ppm >p256.gif 2>/dev/null
pamtogif -interlace pat256c.ppm >p256i.gif 2>/dev/null
pamtogif pat16c.ppm >p16.gif 2>/dev/null
pamtogif ramp.pgm >ramp.gif 2>/dev/null
pamtogif -interlace noise.pgm >noisei.gif 2>/dev/null
pamtogif grey.pbm >bits.gif 2>/dev/null
pnmquant 256 big.ppm 2>/dev/null | pamtogif >big.gif 2>/dev/null
convert pat.ppm -interlace GIF im_i.gif
convert noise.pgm -comment "made for a check" im_comment.gif
convert -delay 10 pat.ppm ramp.pgm -loop 0 im_anim.gif
for f in p256 p256i p16 ramp noisei bits big im_i im_comment im_anim; do
  verify "gif_$f" "$f.gif" giftopnm
done

# BMP: 1, 4, 8 and 24 bits from netpbm; 16-bit 5-5-5 and 5-6-5, 32-bit and
# OS/2 from ImageMagick; a top-down copy made here.
ppmtobmp -bpp=1 grey.pbm >b1.bmp 2>/dev/null
ppmtobmp -bpp=4 pat16c.ppm >b4.bmp 2>/dev/null
ppmtobmp -bpp=8 pat256c.ppm >b8.bmp 2>/dev/null
ppmtobmp -bpp=24 pat.ppm >b24.bmp 2>/dev/null
ppmtobmp -os2 -bpp=8 pat256c.ppm >b8os2.bmp 2>/dev/null
convert pat.ppm -define bmp:subtype=RGB555 b555.bmp
convert pat.ppm -define bmp:subtype=RGB565 b565.bmp
convert pat.ppm -alpha set -define bmp:subtype=ARGB8888 b32.bmp
$PY - b24.bmp btopdown.bmp <<'EOF'
import struct, sys
d = bytearray(open(sys.argv[1], "rb").read())
off, w, h, bpp = struct.unpack_from("<I", d, 10)[0], *struct.unpack_from("<iiH", d, 18)[:2], struct.unpack_from("<H", d, 28)[0]
stride = (w * bpp + 31) // 32 * 4
rows = [d[off + k * stride: off + (k + 1) * stride] for k in range(h)]
struct.pack_into("<i", d, 22, -h)
d[off: off + h * stride] = b"".join(reversed(rows))
open(sys.argv[2], "wb").write(d)
EOF
verify bmp_1 b1.bmp bmptopnm index1
verify bmp_4 b4.bmp bmptopnm
verify bmp_8 b8.bmp bmptopnm
verify bmp_24 b24.bmp bmptopnm
verify bmp_8os2 b8os2.bmp bmptopnm
verify bmp_555 b555.bmp im_pnm unscale=5,5,5
verify bmp_565 b565.bmp im_pnm unscale=5,6,5
verify bmp_32 b32.bmp im_pnm
verify bmp_topdown btopdown.bmp bmptopnm

# PCX: 24-bit planes, 256-colour trailing palette, 16-colour EGA planes, 1 bit.
ppmtopcx -24bit pat.ppm >c24.pcx 2>/dev/null
ppmtopcx -8bit pat256c.ppm >c8.pcx 2>/dev/null
ppmtopcx pat16c.ppm >c16.pcx 2>/dev/null
ppmtopcx -packed pat16c.ppm >c16p.pcx 2>/dev/null
ppmtopcx grey.pbm >c1.pcx 2>/dev/null
convert ramp.pgm im.pcx
for f in c24 c8 c16 c16p c1 im; do verify "pcx_$f" "$f.pcx" pcxtoppm; done

# TGA: colour-mapped, true-colour, grey, raw and run-length, both origins,
# 16 and 32 bits.
pamtotga -cmap -norle pat256c.ppm >t1.tga 2>/dev/null
pamtotga -cmap16 -norle pat256c.ppm >t1c16.tga 2>/dev/null
pamtotga -rgb -norle pat.ppm >t2.tga 2>/dev/null
pamtotga -mono -norle ramp.pgm >t3.tga 2>/dev/null
pamtotga -cmap pat256c.ppm >t9.tga 2>/dev/null
pamtotga -cmap16 pat256c.ppm >t9c16.tga 2>/dev/null
pamtotga -rgb big.ppm >t10.tga 2>/dev/null
pamtotga -mono noise.pgm >t11.tga 2>/dev/null
convert pat.ppm -compress RLE im_bl.tga
convert pat.ppm -orient TopLeft -compress RLE im_tl.tga
convert pat.ppm -alpha set -compress RLE im_32rle.tga
convert pat.ppm -alpha set -compress None im_32.tga
for f in t1 t2 t3 t9 t10 t11; do verify "tga_$f" "$f.tga" tgatoppm; done
for f in t1c16 t9c16; do verify "tga_$f" "$f.tga" tgatoppm unscale=5,5,5; done
# This ImageMagick reads its own bottom-up files upside down: the peer that
# follows the origin bits is tgatoppm.
for f in im_bl im_tl im_32rle im_32; do verify "tga_$f" "$f.tga" tgatoppm; done

# Sun raster: 8 bits with and without a colour map, 24 bits in both types.
pnmtorast -standard pat256c.ppm >s8.ras 2>/dev/null
pnmtorast -standard ramp.pgm >s8g.ras 2>/dev/null
pnmtorast -standard pat.ppm >s24.ras 2>/dev/null
convert pat.ppm s24im.ras
convert pat.ppm -type TrueColor SUN:s24b.im24
pnmtorast -rle pat.ppm >srle.ras 2>/dev/null
for f in s8.ras s8g.ras s24.ras s24im.ras s24b.im24; do verify "sun_${f%.*}" "$f" rasttopnm; done
refuses sun_rle srle.ras "Compression pas support"

# Options that change the weights.
convert_one opt_c p256.gif C0.5,0.25,0.25 && giftopnm p256.gif >opt_c/peer.pnm 2>/dev/null &&
  { $PY compare.py opt_c/peer.pnm opt_c/out.fit weights=0.5,0.25,0.25 >opt_c/report.txt ||
    fail "opt_c: $(cat opt_c/report.txt)"; }

# Files written by other software.
corpus=${KORV_CORPUS_DIR:-}
if [ -n "$corpus" ] && [ -d "$corpus/gif" ]; then
  for f in "$corpus"/gif/*.gif; do b=$(basename "$f"); verify "corpus_${b%.*}" "$f" giftopnm; done
  for f in exiftool_BMP pal4 pal8 pal8os2 pal8topdown pal8v5 rgb24 rgb32; do
    verify "corpus_$f" "$corpus/bmp/$f.bmp" bmptopnm
  done
  verify corpus_pal1 "$corpus/bmp/pal1.bmp" bmptopnm index1
  # bmptopnm takes these bit-field files for version 1 files without masks.
  verify corpus_rgb16-565 "$corpus/bmp/rgb16-565.bmp" im_pnm unscale=5,6,5
  verify corpus_rgb32bf "$corpus/bmp/rgb32bf.bmp" im_pnm
  for f in pal4rle pal8rle imagemagick_input; do
    refuses "corpus_$f" "$corpus/bmp/$f.bmp" "Compression pas support"
  done
  refuses corpus_clipboard "$corpus/bmp/clipboard.dib" "Pas du BMP"
  for f in CGA_BW.PCX exiftool_PCX.pcx odd_stride.pcx p_4_planes.pcx pil184.pcx; do
    verify "corpus_${f%.*}" "$corpus/pcx/$f" pcxtoppm
  done
  # Lines of 12 bytes for 88 columns and no trailing palette: no peer agrees.
  converts corpus_01r_00 "$corpus/pcx/01r_00.pcx"
  for f in "$corpus"/tga/*; do
    b=$(basename "$f")
    case $b in
    la.tga) verify "corpus_${b%.*}" "$f" pil_pgm ;;  # grey and alpha bytes
    CTC16.TGA | p_16.tga | UCM8.TGA) verify "corpus_${b%.*}" "$f" tgatoppm unscale=5,5,5 ;;
    *) verify "corpus_${b%.*}" "$f" tgatoppm ;;
    esac
  done
  verify corpus_hopper_ras "$corpus/sunras/hopper.ras" rasttopnm
  verify corpus_input_im8 "$corpus/sunras/imagemagick_input.im8" rasttopnm
  refuses corpus_sunraster_im1 "$corpus/sunras/sunraster.im1" "Compression pas support"
elif [ -n "${CI:-}" ]; then
  fail "corpus directory missing: ${corpus:-unset}"
else
  echo "SKIP: corpus directory missing (${corpus:-unset}), corpus files not checked"
  [ $failures -eq 0 ] && exit 77
fi

echo "$checks conversions checked, $failures failures"
[ $failures -eq 0 ]
