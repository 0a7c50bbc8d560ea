#!/usr/bin/env bash
# Cross-checks PNM conversions against peer tools: every variant made with
# netpbm, and the shared corpus files, is converted; the FITS file must pass
# fitsverify, and astropy must read back the samples netpbm reads from the
# input (bottom row first, colour weighted to grey), through the options that
# change the data, the sample type, the compressions and the output name.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
oracle_start fitsverify pgmramp pgmnoise ppmpat pbmmake pbmtext pnmdepth pamtopnm pnmtoplainpnm
checks=0

# Compares a FITS image with the samples of a plain PNM (as netpbm wrote it).
cat >compare.py <<'EOF'
import sys
import numpy as np
from astropy.io import fits

def read_plain(path):
    words = open(path, "rb").read().split()
    magic, w, h = words[0].decode(), int(words[1]), int(words[2])
    if magic == "P1":
        # netpbm may write bits without separators; they are single digits.
        bits = b"".join(words[3:]).decode()
        return magic, 1, np.array([int(c) for c in bits[: w * h]], np.int64).reshape(h, w)
    spp = 3 if magic == "P3" else 1
    vals = np.array([int(x) for x in words[4 : 4 + w * h * spp]], np.int64)
    return magic, int(words[3]), vals.reshape(h, w, spp) if spp == 3 else vals.reshape(h, w)

opts = dict(a.split("=", 1) for a in sys.argv[3:])
magic, maxval, img = read_plain(sys.argv[1])
source = opts.get("source", magic)
weights = [float(x) for x in opts.get("weights", "0.299,0.587,0.114").split(",")]
if img.ndim == 3:
    r, g, b = (img[:, :, i] for i in range(3))
    if source == "P3":
        # Single precision products and running sum.
        wr, wg, wb = (np.float32(x) for x in weights)
        s = r.astype(np.float32) * wr + g.astype(np.float32) * wg + b.astype(np.float32) * wb
        s = s.astype(np.float64)
    else:
        wr, wg, wb = (np.longdouble(np.float32(x)) for x in weights)
        s = r.astype(np.longdouble) * wr + g.astype(np.longdouble) * wg + b.astype(np.longdouble) * wb
    grey = np.clip(np.rint(s), 0, 65535).astype(np.int64)
elif magic == "P1":
    grey = img * 255
else:
    grey = img.copy()

h = grey.shape[0]
if "zero" in opts:  # rows of that parity (input index) are blanked
    grey[int(opts["zero"]) :: 2, :] = 0
if "mirror" in opts:
    grey = grey[:, ::-1]
bx, by = (int(x) for x in opts.get("bin", "1,1").split(","))
oh, ow = h // by, grey.shape[1] // bx
grey = grey[: oh * by, : ow * bx].reshape(oh, by, ow, bx).sum(axis=(1, 3)) % 65536
# FITS holds the bottom row first, unless the rows were flipped on the way.
expected = grey if "flip" in opts else grey[::-1, :]

bitpix = int(opts.get("bitpix", "8" if maxval <= 255 else "16"))
if bitpix == 8:
    expected = expected & 255

with fits.open(sys.argv[2]) as hdul:
    hdr = hdul[0].header
    data = hdul[0].data
    problems = []
    if hdr["BITPIX"] != bitpix:
        problems.append("BITPIX %s, expected %s" % (hdr["BITPIX"], bitpix))
    if bitpix == 16 and hdr.get("BZERO") != 32768:
        problems.append("BZERO %s" % hdr.get("BZERO"))
    if data is None or data.shape != expected.shape:
        problems.append("shape %s, expected %s" % (None if data is None else data.shape, expected.shape))
    else:
        got = data.astype(np.float64)
        if not np.array_equal(got, expected.astype(np.float64)):
            bad = np.argwhere(got != expected)
            y, x = bad[0]
            problems.append("%d samples differ, first at FITS row %d col %d: %s, expected %s"
                            % (len(bad), y, x, got[y, x], expected[y, x]))
    for card in opts.get("cards", "").split(";"):
        if card:
            key, value = card.split("=", 1)
            if str(hdr.get(key)) != value:
                problems.append("card %s is %r, expected %r" % (key, hdr.get(key), value))
if problems:
    print("; ".join(problems))
    sys.exit(1)
EOF

# run_conversion NAME INPUT OUTPUT [OPTIONS...]: runs the program in a fresh directory
# (the input is linked there) and leaves its console in NAME/console.txt.
run_conversion() {
  local name=$1 input=$2 output=$3
  shift 3
  rm -rf "$name" && mkdir "$name"
  ln -s "$(readlink -f "$input")" "$name/$(basename "$input")"
  (cd "$name" && "$KORV_BINARY" "$(basename "$input")" "$@" >console.txt 2>&1)
  local status=$?
  checks=$((checks + 1))
  if [ $status -ne 0 ]; then
    fail "$name: exit status $status"; sed 's/^/    /' "$name/console.txt"; return 1
  fi
  if [ ! -s "$name/$output" ]; then
    fail "$name: no $output"; sed 's/^/    /' "$name/console.txt"; return 1
  fi
  return 0
}

# verify NAME INPUT [compare options...]: conversion with default options.
verify() {
  local name=$1 input=$2
  shift 2
  local stem
  stem=$(basename "${input%.*}")
  run_conversion "$name" "$input" "$stem.fit" || return
  check_fits "$name" "$input" "$name/$stem.fit" "$@"
}

check_fits() {
  local name=$1 input=$2 fitsfile=$3
  shift 3
  local report
  if ! report=$(fitsverify -q -e "$fitsfile" 2>&1); then
    fail "$name: fitsverify: $report"
  fi
  pnmtoplainpnm "$input" >"$name/plain.pnm" 2>/dev/null || { fail "$name: netpbm cannot read input"; return; }
  local source
  source=$(head -c 2 "$input")
  if ! report=$($PY compare.py "$name/plain.pnm" "$fitsfile" "source=$source" "$@" 2>&1); then
    fail "$name: $report"
  fi
}

# Inputs made by netpbm, binary and plain, 8 and 16 bits; odd sizes on purpose.
pgmramp -diag 37 23 >ramp8.pgm
pgmnoise 61 17 >noise8.pgm
pgmnoise -maxval 65535 45 19 >noise16.pgm
pgmramp -lr 33 9 | pnmdepth 1023 >ramp1023.pgm
ppmpat -g2 41 27 >pat8.ppm
ppmpat -madras 29 31 | pnmdepth 65535 >pat16.ppm
pbmmake -g 33 17 >grey.pbm
pbmtext -builtin fixed 'KORV' >text.pbm
for f in ramp8.pgm noise8.pgm noise16.pgm ramp1023.pgm pat8.ppm pat16.ppm grey.pbm text.pbm; do
  pamtopnm -plain "$f" >"plain_$f"
done

for f in ramp8.pgm noise8.pgm noise16.pgm ramp1023.pgm pat8.ppm pat16.ppm grey.pbm text.pbm; do
  verify "bin_${f%.*}" "$f"
  verify "plain_${f%.*}" "plain_$f"
done

# Files written by other software.
corpus=${KORV_CORPUS_DIR:-}
if [ -n "$corpus" ] && [ -d "$corpus/pnm" ]; then
  for f in "$corpus"/pnm/*; do
    base=$(basename "$f")
    verify "corpus_${base%.*}_${base##*.}" "$f"
  done
elif [ -n "${CI:-}" ]; then
  fail "corpus directory missing: ${corpus:-unset}/pnm"
else
  echo "SKIP: corpus directory missing (${corpus:-unset}), corpus files not checked"
fi

# Options that change the samples or their place.
run_conversion opt_mx noise16.pgm noise16.fit MX && check_fits opt_mx noise16.pgm opt_mx/noise16.fit mirror=1
run_conversion opt_my noise16.pgm noise16.fit MY && check_fits opt_my noise16.pgm opt_my/noise16.fit flip=1
run_conversion opt_s0 ramp8.pgm ramp8.fit S0 && check_fits opt_s0 ramp8.pgm opt_s0/ramp8.fit zero=1
run_conversion opt_s1 plain_pat8.ppm plain_pat8.fit S1 &&
  check_fits opt_s1 plain_pat8.ppm opt_s1/plain_pat8.fit zero=0
run_conversion opt_z2 noise8.pgm noise8.fit Z2 && check_fits opt_z2 noise8.pgm opt_z2/noise8.fit bin=2,2 bitpix=16
run_conversion opt_z32 noise16.pgm noise16.fit Z3,2 && check_fits opt_z32 noise16.pgm opt_z32/noise16.fit bin=3,2
run_conversion opt_z noise8.pgm noise8.fit Z && check_fits opt_z noise8.pgm opt_z/noise8.fit
# M alone asks for colour-filter cells: 2 x 2 sums.
run_conversion opt_m noise16.pgm noise16.fit M && check_fits opt_m noise16.pgm opt_m/noise16.fit bin=2,2
run_conversion opt_mxz noise16.pgm noise16.fit MX Z2 &&
  check_fits opt_mxz noise16.pgm opt_mxz/noise16.fit mirror=1 bin=2,2
run_conversion opt_tb noise16.pgm noise16.fit TB && check_fits opt_tb noise16.pgm opt_tb/noise16.fit bitpix=8
run_conversion opt_tw ramp8.pgm ramp8.fit TW && check_fits opt_tw ramp8.pgm opt_tw/ramp8.fit bitpix=16
run_conversion opt_tl noise16.pgm noise16.fit TL && check_fits opt_tl noise16.pgm opt_tl/noise16.fit bitpix=32
run_conversion opt_ts pat16.ppm pat16.fit TS && check_fits opt_ts pat16.ppm opt_ts/pat16.fit bitpix=-32
run_conversion opt_c pat8.ppm pat8.fit C0.5,0.25,0.25 &&
  check_fits opt_c pat8.ppm opt_c/pat8.fit weights=0.5,0.25,0.25
run_conversion opt_rb plain_pat8.ppm plain_pat8.fit R B &&
  check_fits opt_rb plain_pat8.ppm opt_rb/plain_pat8.fit weights=1,0,1 bitpix=16

# Header cards given by the user.
run_conversion opt_y ramp8.pgm ramp8.fit 'Y+TESTKEY=42' 'Y+HISTORY made by the oracle' &&
  check_fits opt_y ramp8.pgm opt_y/ramp8.fit 'cards=TESTKEY=42'
head -c 28800 opt_y/ramp8.fit | fold -w 80 | grep -q "^HISTORY made by the oracle" ||
  fail "opt_y: HISTORY card not written as given"

# The two row compressions: read back by our own FITS reader, they give the
# samples of the source, bottom row first.
# roundtrip NAME INPUT PACKED EXPECT OPTIONS...: EXPECT is one compare option
# (or "-"), the OPTIONS go to the conversion.
roundtrip() {
  local name=$1 input=$2 packed=$3 expect=$4
  shift 4
  run_conversion "$name" "$input" "$packed" "$@" || return
  (cd "$name" && "$KORV_BINARY" "$packed" >back.txt 2>&1) || { fail "$name: reading $packed back failed"; return; }
  if [ "$expect" = - ]; then
    check_fits "$name" "$input" "$name/${packed%.*}.fit" bitpix=16
  else
    check_fits "$name" "$input" "$name/${packed%.*}.fit" bitpix=16 "$expect"
  fi
}
roundtrip opt_cprp noise16.pgm noise16.fip - CPRP
roundtrip opt_cpva ramp8.pgm ramp8.fiv - CPVA
roundtrip opt_cpva16 noise16.pgm noise16.fiv - cpva
roundtrip opt_cprp_mx pat16.ppm pat16.fip mirror=1 CPRP MX
roundtrip opt_cpva_s1 plain_noise8.pgm plain_noise8.fiv zero=0 CPVA S1

# Output names: an existing file is never overwritten.
rm -rf names && mkdir names && ln -s "$work/ramp8.pgm" names/ramp8.pgm && ln -s "$work/ramp8.pgm" names/night_0123.pgm
(
  cd names || exit 1
  "$KORV_BINARY" ramp8.pgm >c1.txt && "$KORV_BINARY" ramp8.pgm >c2.txt &&
    "$KORV_BINARY" ramp8.pgm =ab >c3.txt && "$KORV_BINARY" ramp8.pgm =+_s >c4.txt &&
    "$KORV_BINARY" night_0123.pgm =n,-4 >c5.txt && "$KORV_BINARY" ramp8.pgm = >c6.txt
) || fail "names: a naming run failed"
checks=$((checks + 1))
for expect in "c1.txt:Sor=ramp8.fit" "c2.txt:Sor=korv0001.fit" "c3.txt:Sor=ab000001.fit" \
  "c4.txt:Sor=ramp8_s.fit" "c5.txt:Sor=n000123.fit" "c6.txt:Sor=ramp8.fit"; do
  grep -qx "${expect#*:}" "names/${expect%%:*}" ||
    fail "names: ${expect%%:*} lacks ${expect#*:}: $(grep Sor= "names/${expect%%:*}")"
done
for f in ramp8.fit korv0001.fit ab000001.fit ramp8_s.fit n000123.fit; do
  [ -s "names/$f" ] || fail "names: $f missing"
  [ -f "names/$f" ] && { fitsverify -q -e "names/$f" >/dev/null 2>&1 || fail "names: $f fails fitsverify"; }
done
# The output carries the input's time plus two seconds.
touch -d '2024-03-15 21:30:10' noise8.pgm
if run_conversion time noise8.pgm noise8.fit; then
  diff=$(($(stat -c %Y time/noise8.fit) - $(stat -c %Y noise8.pgm)))
  [ "$diff" -eq 2 ] || fail "time: output time differs from the input's by $diff s"
fi

# Damaged input: status 1 and no output file.
printf 'P5 30000 65535 255\n\001\002' >huge.pgm
printf 'P9 2 2 255\n1234' >bad.pgm
for f in huge.pgm bad.pgm; do
  rm -rf "dmg_$f" && mkdir "dmg_$f" && ln -s "$work/$f" "dmg_$f/$f"
  (cd "dmg_$f" && "$KORV_BINARY" "$f" >console.txt)
  status=$?
  checks=$((checks + 1))
  [ $status -eq 1 ] || fail "dmg_$f: exit status $status, expected 1"
  [ -e "dmg_$f/${f%.*}.fit" ] && fail "dmg_$f: output file left behind"
done

echo "pnm oracle: $checks conversions, $failures failures"
[ $failures -eq 0 ]
