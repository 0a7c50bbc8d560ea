#!/usr/bin/env bash
# Cross-checks camera raw files in TIFF containers against dcraw (-D -4) and
# LibRaw's unprocessed_raw: DNG files written here with each 2x2 Bayer layout,
# 10, 12 (odd width too), 14 and 16-bit samples, both byte orders, and 8, 12
# and 16-bit ones with a linearisation table, must give exactly the mosaic
# values of both peers with unit colour factors. The shared
# corpus raws whose image data were stripped stop with status 1 and no output.
set -u

source "$(dirname "$(readlink -f "$0")")/oracle_lib.sh"
corpus=${KORV_CORPUS_DIR:-$(dirname "$(readlink -f "$0")")/../../../shared/corpus}/raw
oracle_start fitsverify dcraw unprocessed_raw
checks=0

cat >mkdng.py <<'PYEOF'
import struct, sys
import numpy as np

def write_tiff(path, ifds, big=False):
    """ifds: list of (entries, data) where entries is list of (tag, type, values);
    the special value 'SUB' in tag 330 points at the following ifds (sub-IFDs of IFD0)."""
    e = '>' if big else '<'
    sizes = {1:1,2:1,3:2,4:4,5:8,7:1,10:8,11:4,12:8}
    fmt = {1:'B',2:'B',3:'H',4:'I',7:'B',11:'f',12:'d'}
    out = bytearray(b'MM\x00\x2a' if big else b'II\x2a\x00') + b'\0\0\0\0'
    def pack_vals(t, vals):
        if t in (5, 10):
            b = b''
            for n, d in vals:
                b += struct.pack(e + ('ii' if t == 10 else 'II'), n, d)
            return b
        return b''.join(struct.pack(e + fmt[t], v) for v in vals)
    # data blobs first
    data_off = []
    for entries, data in ifds:
        data_off.append(len(out))
        out += data
        if len(out) % 2: out += b'\0'
    ifd_off = [0] * len(ifds)
    # compute layout: each ifd followed by its out-of-line values
    pos = len(out)
    blobs = []
    for k, (entries, data) in enumerate(ifds):
        ifd_off[k] = pos
        n = len(entries)
        pos += 2 + 12 * n + 4
        extra = []
        for (tag, t, vals) in entries:
            count = 1 if vals == 'DATA' else len(ifds) - 1 if vals == 'SUB' else len(vals)
            nbytes = sizes[t] * count
            if nbytes > 4:
                extra.append((tag, pos))
                pos += nbytes + (nbytes & 1)
        blobs.append(extra)
    for k, (entries, data) in enumerate(ifds):
        assert len(out) == ifd_off[k]
        entries = sorted(entries, key=lambda x: x[0])
        resolved = []
        for (tag, t, vals) in entries:
            if vals == 'DATA': vals = [data_off[k]]
            if vals == 'SUB': vals = [ifd_off[j] for j in range(1, len(ifds))]
            resolved.append((tag, t, vals))
        extra = dict(blobs[k])
        out += struct.pack(e + 'H', len(resolved))
        tail = bytearray()
        for (tag, t, vals) in resolved:
            b = pack_vals(t, vals)
            if len(b) > 4:
                out += struct.pack(e + 'HHII', tag, t, len(vals) if t != 2 else len(b), extra[tag])
                tail += b + (b'\0' if len(b) & 1 else b'')
            else:
                out += struct.pack(e + 'HHI', tag, t, len(vals) if t != 2 else len(b)) + b.ljust(4, b'\0')
        nxt = 0
        out += struct.pack(e + 'I', nxt)
        out += tail
    struct.pack_into(e + 'I', out, 4, ifd_off[0])
    open(path, 'wb').write(out)

def pack12(a):
    h, w = a.shape
    rows = []
    for r in range(h):
        bits = ''.join(format(int(v), '012b') for v in a[r])
        bits += '0' * (-len(bits) % 8)
        rows.append(int(bits, 2).to_bytes(len(bits) // 8, 'big'))
    return b''.join(rows)

def packbits_n(a, n):
    h, w = a.shape
    rows = []
    for r in range(h):
        bits = ''.join(format(int(v), '0%db' % n) for v in a[r])
        bits += '0' * (-len(bits) % 8)
        rows.append(int(bits, 2).to_bytes(len(bits) // 8, 'big'))
    return b''.join(rows)

def dng(path, raw, bits, pattern, big=False, packed=False, lin=None):
    h, w = raw.shape
    e = '>' if big else '<'
    thumb = np.full((8, 8, 3), 90, np.uint8).tobytes()
    if bits == 16:
        data = raw.astype(e + 'u2').tobytes()
    else:
        data = packbits_n(raw, bits)
    ifd0 = [(254, 4, [1]), (256, 4, [8]), (257, 4, [8]), (258, 3, [8, 8, 8]), (259, 3, [1]),
            (262, 3, [2]), (271, 2, list(b'Testmaker\0')), (272, 2, list(b'Test model\0')),
            (273, 4, 'DATA'), (277, 3, [3]), (278, 4, [8]), (279, 4, [len(thumb)]),
            (284, 3, [1]), (330, 4, 'SUB'), (50706, 1, [1, 4, 0, 0]),
            (50708, 2, list(b'Test model\0'))]
    raw_ifd = [(254, 4, [0]), (256, 4, [w]), (257, 4, [h]), (258, 3, [bits]), (259, 3, [1]),
               (262, 3, [32803]), (273, 4, 'DATA'), (277, 3, [1]), (278, 4, [h]),
               (279, 4, [len(data)]), (284, 3, [1]), (33421, 3, [2, 2]), (33422, 1, pattern),
               (50717, 4, [(1 << bits) - 1])]
    if lin is not None:
        raw_ifd.append((50712, 3, [int(v) for v in lin]))
    write_tiff(path, [(ifd0, thumb), (raw_ifd, data)], big)

rng = np.random.default_rng(7)
specs = [("rggb16.dng", 16, [0, 1, 1, 2], False, 64, 48),
         ("bggr16_mm.dng", 16, [2, 1, 1, 0], True, 50, 30),
         ("grbg12.dng", 12, [1, 0, 2, 1], False, 62, 40),
         ("gbrg12_odd.dng", 12, [1, 2, 0, 1], True, 45, 27),
         ("rggb10.dng", 10, [0, 1, 1, 2], False, 38, 24),
         ("rggb14.dng", 14, [0, 1, 1, 2], True, 41, 23)]
for name, bits, pat, big, w, h in specs:
    raw = rng.integers(0, 1 << bits, size=(h, w))
    dng(name, raw, bits, pat, big)
    np.save(name + ".npy", raw)
# Linearisation tables (tag 50712) shorter than the value range: values past
# the table take its last entry, as the peers read them.
for name, bits, n, w, h in [("lin16.dng", 16, 40000, 40, 24), ("lin12.dng", 12, 3000, 36, 26),
                            ("lin8.dng", 8, 200, 30, 28)]:
    raw = rng.integers(0, 1 << bits, size=(h, w))
    lin = (np.arange(n) * np.arange(n) * 65535 // ((n - 1) * (n - 1))).astype(np.int64)
    dng(name, raw, bits, [0, 1, 1, 2], False, lin=lin)
    np.save(name + ".npy", lin[np.minimum(raw, n - 1)])
PYEOF

cat >compare.py <<'PYEOF'
import sys, numpy as np
from astropy.io import fits
def pgm(p):
    d = open(p, 'rb').read(); fields = []; pos = 0
    while len(fields) < 4:
        while d[pos:pos+1].isspace(): pos += 1
        st = pos
        while not d[pos:pos+1].isspace(): pos += 1
        fields.append(d[st:pos])
    w, h = int(fields[1]), int(fields[2])
    return np.frombuffer(d[pos+1:pos+1+w*h*2], '>u2').reshape(h, w).astype(np.int64)
for f in sys.argv[1:]:
    ours = fits.getdata(f.replace('.dng', '.fit'))[::-1].astype(np.int64)
    ref = np.load(f + '.npy')
    d = pgm(f + '.d.pgm'); l = pgm(f + '.pgm')
    # Debian's dcraw leaves a linearisation table longer than 4096 entries
    # unapplied; LibRaw applies it.
    if f == 'lin16.dng': d = l
    if not (np.array_equal(ours, ref) and np.array_equal(ours, d) and np.array_equal(ours, l)):
        print(f, "truth", np.array_equal(ours, ref), "dcraw", np.array_equal(ours, d), "libraw", np.array_equal(ours, l)); sys.exit(1)
PYEOF

$PY mkdng.py || { echo "cannot write the test files"; exit 1; }
for f in *.dng; do
  checks=$((checks + 1))
  mkdir "run_$f" && ln -s "$work/$f" "run_$f/$f"
  (cd "run_$f" && "$KORV_BINARY" "$f" C1,1,1,1 >console.txt 2>&1) || {
    fail "$f: exit status $?"; tail -3 "run_$f/console.txt"; continue; }
  cp "run_$f/${f%.dng}.fit" .
  report=$(fitsverify -q -e "${f%.dng}.fit" 2>&1) || fail "$f: fitsverify: $report"
  dcraw -D -4 -c "$f" >"$f.d.pgm" 2>/dev/null || { fail "$f: dcraw cannot read it"; continue; }
  unprocessed_raw "$f" >/dev/null 2>&1 || { fail "$f: unprocessed_raw cannot read it"; continue; }
  report=$($PY compare.py "$f" 2>&1) || fail "$f: $report"
done

# Raw samples whose image data were stripped: a clean stop, nothing written.
if [ -d "$corpus" ]; then
  for f in exiftool_Minolta.mrw exiftool_CanonRaw.cr2 exiftool_Panasonic.rw2; do
    checks=$((checks + 1))
    mkdir "strip_$f" && ln -s "$corpus/$f" "strip_$f/$f"
    (cd "strip_$f" && "$KORV_BINARY" "$f" >console.txt 2>&1)
    status=$?
    [ $status -eq 1 ] || fail "$f: exit status $status, expected 1"
    ls "strip_$f"/*.fit >/dev/null 2>&1 && fail "$f: output file left behind"
  done
fi

echo "tiff raw oracle: $checks files, $failures failures"
[ $failures -eq 0 ]
