#!/usr/bin/env bash
# Cross-checks the FITS header and the output naming of whole runs against peer
# tools: every plain file must pass fitsverify, astropy must read each card back
# with the value the options asked for, existing files are never replaced unless
# asked, and each output carries the input's time plus two seconds.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
oracle_start fitsverify pgmramp

# run NAME ARGS...: converts and keeps the console in NAME.txt; prints the
# output name the run reported.
run() {
  local name=$1
  shift
  "$KORV_BINARY" "$@" >"$name.txt" 2>&1
  local status=$?
  [ "$status" -eq 0 ] || { fail "$name: exit status $status"; sed 's/^/    /' "$name.txt" >&2; }
  sed -n 's/^Sor=//p' "$name.txt"
}

verify() {
  local out
  out=$(fitsverify -q -e "$1" 2>&1)
  case "$out" in
  *"verification OK"*) ;;
  *) fail "fitsverify $1: $out" ;;
  esac
}

# cards FILE KEY=VALUE...: each card must read back through astropy as VALUE
# (numbers compared to 1e-9, texts exactly).
cat >cards.py <<'EOF'
import sys
from astropy.io import fits
h = fits.getheader(sys.argv[1])
bad = []
for arg in sys.argv[2:]:
    key, want = arg.split("=", 1)
    got = h.get(key)
    try:
        ok = abs(float(want) - float(got)) < 1e-9 and not isinstance(got, str)
    except (TypeError, ValueError):
        ok = str(got) == want
    if not ok:
        bad.append("%s: %r, want %r" % (key, got, want))
print("; ".join(bad))
sys.exit(1 if bad else 0)
EOF
cards() {
  local file=$1
  shift
  local out
  out=$($PY cards.py "$file" "$@" 2>&1) || fail "$file: $out"
}

mtime() { stat -c %Y "$1"; }

pgmramp -lr 40 30 >2024-03-01_M_51.pgm
touch -d '2024-03-01 21:30:58' 2024-03-01_M_51.pgm
input_time=$(mtime 2024-03-01_M_51.pgm)

# Date, pointing, optics, object from the file name, user cards.
name=$(run plain 2024-03-01_M_51.pgm HD20090102,3.0405,60 K5.072444,-45.07244,1000,0.009,0.0074,1.25 \
  O=4 "Y+HISTORY converted by a test" "Y:TELESCOP='T120'")
[ "$name" = "2024-03-01_M_51.fit" ] || fail "plain: output name '$name'"
verify 2024-03-01_M_51.fit
cards 2024-03-01_M_51.fit SIMPLE=True BITPIX=16 NAXIS1=40 NAXIS2=30 BZERO=32768 BSCALE=1 \
  EXPTIME=60 RA=76.8518 DEC=-45.1234 FOCAL=1000 CDELTM1=0.009 CDELTM2=0.0074 SECPIX=1.6994 \
  GAIN=1.25 "OBJECT=M 51" "HISTORY=converted by a test" TELESCOP=T120 CREATOR=KORVALIX \
  "FROMFILE=$(pwd | tr / '|')|2024-03-01_M_51.pgm"
case $(head -c 2880 2024-03-01_M_51.fit) in
*"DATE-OBS= '2009-01-02T03:"*) ;;
*) fail "plain: no DATE-OBS card" ;;
esac
[ "$(mtime 2024-03-01_M_51.fit)" -eq $((input_time + 2)) ] || fail "plain: output time is not input + 2 s"
cp 2024-03-01_M_51.fit first.copy

# The same run again: a numbered name, the first file untouched.
name=$(run again 2024-03-01_M_51.pgm)
[ "$name" = "korv0001.fit" ] || fail "again: output name '$name'"
cmp -s first.copy 2024-03-01_M_51.fit || fail "again: the existing output was changed"
verify korv0001.fit

# Naming options: overwrite, suffix, number from the name, numbered prefix.
name=$(run overwrite 2024-03-01_M_51.pgm =)
[ "$name" = "2024-03-01_M_51.fit" ] || fail "overwrite: output name '$name'"
cmp -s first.copy 2024-03-01_M_51.fit && fail "overwrite: the file was not rewritten"
name=$(run suffix 2024-03-01_M_51.pgm =+_b)
[ "$name" = "2024-03-01_M_51_b.fit" ] || fail "suffix: output name '$name'"
name=$(run number 2024-03-01_M_51.pgm =ab,-2)
[ "$name" = "ab000051.fit" ] || fail "number: output name '$name'"
name=$(run prefix 2024-03-01_M_51.pgm =@n)
[ "$name" = "@n1.fit" ] || fail "prefix: output name '$name'"
verify ./@n1.fit

# Quoted coordinates, the date in two cards, a quote in the object name.
name=$(run quoted 2024-03-01_M_51.pgm HM20090102,3.0405 HP N2 K5.072444,45.07244 "O=9,9,O'Neil field")
cards "$name" "OBJCTRA=05 07 24.44" "OBJCTDEC=+45 07 24.4" "DATE-OBS=2009/01/02" \
  "TIME-OBS=03:04:05.00" "OBJECT=O'Neil field"

# 32-bit float samples and a deleted card.
name=$(run float 2024-03-01_M_51.pgm TS K,,500,0.01 "Y-FOCAL")
verify "$name"
cards "$name" BITPIX=-32 BZERO=0 CDELTM1=0.01 SECPIX=4.1253
$PY -c "
import sys
from astropy.io import fits
sys.exit('FOCAL' in fits.getheader('$name'))" || fail "float: FOCAL card not deleted"

echo "header checks: $failures failure(s)"
[ "$failures" -eq 0 ]
