// Writes small camera raw files around the test encoders: a DNG whose raw
// image (a sub-directory of IFD0) holds lossless JPEG in one strip or in tiles,
// a NEF whose raw image holds Nikon Huffman data, with the Nikon maker note
// (version, predictors, curve, split row) in the EXIF directory, a PEF with
// the Pentax code table in its maker note, and an Olympus compressed ORF. The peers read
// them as they read camera files, so they check our decoding of them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "readers/tiff/nef_huffman.h"
#include "tests/raw_encoders.h"

namespace korv::test {

// One directory under construction: entries by tag, values laid out at write.
class IfdBuilder {
public:
  struct Entry {
    uint16_t Type;
    uint32_t Count;
    std::string Data;  // the values, in the file's byte order
  };
  explicit IfdBuilder(bool big) : big_(big) {}
  void Short(uint16_t tag, std::initializer_list<uint32_t> v) { Put(tag, 3, v, 2); }
  void Long(uint16_t tag, std::initializer_list<uint32_t> v) { Put(tag, 4, v, 4); }
  void Byte(uint16_t tag, std::initializer_list<uint32_t> v) { Put(tag, 1, v, 1); }
  void LongList(uint16_t tag, const std::vector<uint32_t>& v) {
    std::string d;
    for (auto x : v) d += Bytes(x, 4);
    entries_[tag] = {4, static_cast<uint32_t>(v.size()), d};
  }
  void ShortList(uint16_t tag, const std::vector<uint16_t>& v) {
    std::string d;
    for (auto x : v) d += Bytes(x, 2);
    entries_[tag] = {3, static_cast<uint32_t>(v.size()), d};
  }
  void Ascii(uint16_t tag, const std::string& s) {
    entries_[tag] = {2, static_cast<uint32_t>(s.size() + 1), s + '\0'};
  }
  void Rational(uint16_t tag, uint32_t num, uint32_t den) {
    entries_[tag] = {5, 1, Bytes(num, 4) + Bytes(den, 4)};
  }
  void Undefined(uint16_t tag, const std::string& d) {
    entries_[tag] = {7, static_cast<uint32_t>(d.size()), d};
  }
  std::string Bytes(uint32_t v, unsigned n) const {
    std::string s(n, '\0');
    for (unsigned i = 0; i < n; ++i)
      s[big_ ? n - 1 - i : i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  }
  std::map<uint16_t, Entry>& Entries() { return entries_; }

  // Lays the directory out at `at` (its values after it); `next` is the next
  // directory's offset. Returns the bytes; patches is filled with the offset
  // of each tag's value field so that offsets can be set later.
  std::string Build(uint32_t at, uint32_t next, std::map<uint16_t, uint32_t>& valueField) {
    std::string dir = Bytes(static_cast<uint32_t>(entries_.size()), 2);
    std::string extra;
    const uint32_t dataAt = at + 2 + 12 * static_cast<uint32_t>(entries_.size()) + 4;
    for (auto& [tag, e] : entries_) {
      dir += Bytes(tag, 2) + Bytes(e.Type, 2) + Bytes(e.Count, 4);
      valueField[tag] = at + static_cast<uint32_t>(dir.size());
      if (e.Data.size() <= 4) {
        std::string v = e.Data;
        v.resize(4, '\0');
        dir += v;
      } else {
        dir += Bytes(dataAt + static_cast<uint32_t>(extra.size()), 4);
        extra += e.Data;
        if (extra.size() % 2) extra.push_back('\0');
      }
    }
    dir += Bytes(next, 4);
    return dir + extra;
  }

private:
  void Put(uint16_t tag, uint16_t type, std::initializer_list<uint32_t> v, unsigned size) {
    std::string d;
    for (auto x : v) d += Bytes(x, size);
    entries_[tag] = {type, static_cast<uint32_t>(v.size()), d};
  }
  bool big_;
  std::map<uint16_t, Entry> entries_;
};

// The entries of a 4 x 4 8-bit grey preview (its strip set by the writer).
inline void AddPreviewEntries(IfdBuilder& d) {
  d.Long(254, {1});
  d.Long(256, {4});
  d.Long(257, {4});
  d.Short(258, {8});
  d.Short(259, {1});
  d.Short(262, {1});
}

inline void PatchLong(std::string& file, uint32_t at, uint32_t v, bool big) {
  for (unsigned i = 0; i < 4; ++i)
    file[at + (big ? 3 - i : i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A raw mosaic of smooth random values below 2^bits.
inline std::vector<uint16_t> MakeMosaic(unsigned w, unsigned h, unsigned bits, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint16_t> v(static_cast<std::size_t>(w) * h);
  const int top = (1 << bits) - 1;
  for (unsigned r = 0; r < h; ++r) {
    int base = static_cast<int>(rng() % static_cast<unsigned>(top));
    for (unsigned c = 0; c < w; ++c) {
      base += static_cast<int>(rng() % 61) - 30;
      if (base < 0) base = -base;
      if (base > top) base = 2 * top - base;
      // Colour cells differ, as a mosaic does.
      int x = base + ((r & 1) ? 40 : 0) + ((c & 1) ? -25 : 0);
      v[static_cast<std::size_t>(r) * w + c] = static_cast<uint16_t>(std::clamp(x, 0, top));
    }
  }
  return v;
}

struct DngOptions {
  unsigned Bits = 14;
  unsigned TileWidth = 0;   // 0: one strip
  unsigned TileHeight = 0;
  bool ReverseTiles = false; // the last tile first in the file
  unsigned Predictor = 1;
  std::vector<uint16_t> Linearisation;  // tag 50712, when not empty
  std::string Make = "Testmaker";
  std::string Model = "Test DNG";
  std::vector<uint8_t> Cfa = {0, 1, 1, 2};  // tag 33422: 0 red, 1 green, 2 blue
};

// A DNG: IFD0 a 4 x 4 grey preview with one sub-directory, the raw image.
inline std::string WriteDng(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                            const DngOptions& o) {
  const bool big = false;
  // Lossless JPEG streams: two components of w/2 columns per line, as cameras
  // and converters write them.
  std::vector<std::string> streams;
  const unsigned tw = o.TileWidth ? o.TileWidth : w, th = o.TileWidth ? o.TileHeight : h;
  const unsigned across = (w + tw - 1) / tw, down = (h + th - 1) / th;
  LjpegEncodeOptions jo;
  jo.Precision = o.Bits;
  jo.Predictor = o.Predictor;
  jo.TableOfComponent = {0, 0, 0, 0};
  for (unsigned ty = 0; ty < down; ++ty) {
    for (unsigned tx = 0; tx < across; ++tx) {
      std::vector<uint16_t> tile(static_cast<std::size_t>(tw) * th, 0);
      for (unsigned y = 0; y < th; ++y)
        for (unsigned x = 0; x < tw; ++x) {
          const unsigned r = ty * th + y, c = tx * tw + x;
          if (r < h && c < w) tile[static_cast<std::size_t>(y) * tw + x] = raw[static_cast<std::size_t>(r) * w + c];
        }
      streams.push_back(EncodeLosslessJpeg(tile, th, tw / 2, 2, jo));
    }
  }
  IfdBuilder ifd0(big), raw0(big);
  AddPreviewEntries(ifd0);
  ifd0.Ascii(271, o.Make);
  ifd0.Ascii(272, o.Model);
  ifd0.Long(273, {0});
  ifd0.Short(277, {1});
  ifd0.Long(278, {4});
  ifd0.Long(279, {16});
  ifd0.Long(330, {0});
  ifd0.Byte(50706, {1, 4, 0, 0});
  ifd0.Byte(50707, {1, 1, 0, 0});
  ifd0.Ascii(50708, "Test DNG");
  raw0.Long(254, {0});
  raw0.Long(256, {w});
  raw0.Long(257, {h});
  raw0.Short(258, {o.Bits});
  raw0.Short(259, {7});
  raw0.Short(262, {32803});
  raw0.Short(277, {1});
  raw0.Short(284, {1});
  raw0.Short(33421, {2, 2});
  raw0.Byte(33422, {o.Cfa[0], o.Cfa[1], o.Cfa[2], o.Cfa[3]});
  raw0.Long(50717, {(1u << o.Bits) - 1});
  if (!o.Linearisation.empty()) raw0.ShortList(50712, o.Linearisation);
  std::vector<uint32_t> offsets(streams.size()), sizes(streams.size());
  for (std::size_t i = 0; i < streams.size(); ++i) sizes[i] = static_cast<uint32_t>(streams[i].size());
  if (o.TileWidth) {
    raw0.Long(322, {tw});
    raw0.Long(323, {th});
    raw0.LongList(324, offsets);
    raw0.LongList(325, sizes);
  } else {
    raw0.Long(273, {0});
    raw0.Long(278, {h});
    raw0.Long(279, {sizes[0]});
  }
  std::string file = "II";
  file += ifd0.Bytes(42, 2) + ifd0.Bytes(8, 4);
  std::map<uint16_t, uint32_t> f0, f1;
  std::string d0 = ifd0.Build(8, 0, f0);
  file += d0;
  const uint32_t previewAt = static_cast<uint32_t>(file.size());
  file += std::string(16, '\x80');
  const uint32_t rawDirAt = static_cast<uint32_t>(file.size());
  std::string d1 = raw0.Build(rawDirAt, 0, f1);
  file += d1;
  PatchLong(file, f0[273], previewAt, big);
  PatchLong(file, f0[330], rawDirAt, big);
  std::vector<uint32_t> at(streams.size());
  for (std::size_t n = 0; n < streams.size(); ++n) {
    const std::size_t i = o.ReverseTiles ? streams.size() - 1 - n : n;
    if (file.size() % 2) file.push_back('\0');
    at[i] = static_cast<uint32_t>(file.size());
    file += streams[i];
  }
  if (o.TileWidth) {
    // The offsets array sits where the directory put it.
    const auto& e = raw0.Entries()[324];
    uint32_t pos = f1[324];
    uint32_t arr = 0;
    for (unsigned i = 0; i < 4; ++i) arr |= static_cast<uint32_t>(static_cast<uint8_t>(file[pos + i])) << (8 * i);
    if (e.Count == 1) arr = pos;
    for (std::size_t i = 0; i < at.size(); ++i) PatchLong(file, arr + 4 * static_cast<uint32_t>(i), at[i], big);
  } else {
    PatchLong(file, f1[273], at[0], big);
  }
  return file;
}

struct NefOptions {
  unsigned Bits = 12;
  bool Lossless = false;
  unsigned SplitRow = 0;              // lossy only; 0 = none
  std::vector<uint16_t> CurvePoints;  // lossy: sampled points (version 0x44 0x20)
  std::array<uint16_t, 4> Vini{0, 0, 0, 0};
  std::string Model = "NIKON D810";
};

// The difference a NEF symbol stands for with extra bits v (the decoder's rule).
inline int32_t NefDifference(unsigned sym, uint32_t v) {
  const unsigned n = sym & 15, shl = sym >> 4;
  int32_t diff = static_cast<int32_t>(((v << 1) + 1) << shl >> 1);
  if (n > 0 && (diff & (1 << (n - 1))) == 0) diff -= static_cast<int32_t>(1u << n) - (shl == 0 ? 1 : 0);
  return diff;
}

// Encodes the mosaic as NEF Huffman data. Rows before the split row (all
// rows when lossless) are exact; from the split row on, each sample takes the
// code of the split table whose difference comes nearest (shifted codes are
// lossy); `coded` receives what a decoder must rebuild (before the curve).
inline std::string EncodeNefData(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                                 const NefOptions& o, std::vector<uint16_t>& coded) {
  NefStreamParams p;
  p.Bits = o.Bits;
  p.Lossless = o.Lossless;
  p.SplitRow = o.Lossless ? 0 : o.SplitRow;
  p.InitialPredictor = o.Vini;
  auto specOf = [](NefTable t) {
    HuffCodes s;
    const auto c = NefTableCounts(t);
    const auto sy = NefTableSymbols(t);
    std::copy(c.begin(), c.end(), s.Counts.begin());
    s.Symbols.assign(sy.begin(), sy.end());
    unsigned total = 0;
    for (auto x : s.Counts) total += x;
    s.Symbols.resize(total, 0);
    // Codes for symbols listed twice keep the first.
    HuffCodes out = s;
    uint32_t code = 0;
    std::size_t k = 0;
    std::array<bool, 256> seen{};
    for (unsigned len = 1; len <= 16; ++len) {
      for (unsigned i = 0; i < s.Counts[len - 1]; ++i, ++k, ++code) {
        const uint8_t sym = s.Symbols[k];
        if (!seen[sym]) {
          out.Code[sym] = code;
          out.Length[sym] = static_cast<uint8_t>(len);
          seen[sym] = true;
        }
      }
      code <<= 1;
    }
    return out;
  };
  const HuffCodes first = specOf(NefFirstTable(p));
  const HuffCodes split = specOf(NefSplitTable(p));
  std::vector<uint8_t> splitSymbols;
  for (unsigned s = 0; s < 256; ++s)
    if (split.Length[s]) splitSymbols.push_back(static_cast<uint8_t>(s));
  BitWriter bw(false);
  coded.assign(raw.size(), 0);
  std::array<uint16_t, 4> vpred = o.Vini;
  for (unsigned r = 0; r < h; ++r) {
    const bool shifted = p.SplitRow != 0 && r >= p.SplitRow;
    const HuffCodes& codes = shifted ? split : first;
    uint16_t hpred[2] = {0, 0};
    for (unsigned c = 0; c < w; ++c) {
      const uint16_t pred = c < 2 ? vpred[2 * (r & 1) + c] : hpred[c & 1];
      const int32_t want = static_cast<int32_t>(raw[static_cast<std::size_t>(r) * w + c]) - pred;
      unsigned sym = 0;
      uint32_t bits = 0;
      int32_t got = 0;
      if (!shifted) {
        sym = Category(want);
        bits = want < 0 ? static_cast<uint32_t>(want + (1 << sym) - 1) : static_cast<uint32_t>(want);
        got = want;
      } else {
        int64_t best = INT64_MAX;
        for (uint8_t s : splitSymbols) {
          const unsigned n = s & 15, shl = s >> 4;
          const unsigned nb = shl < n ? n - shl : 0;
          // Try the extra bits nearest the wanted value on both signs.
          for (uint32_t v : {0u, (1u << nb) - 1, 1u << (nb ? nb - 1 : 0), ((1u << nb) - 1) >> 1}) {
            if (nb == 0) v = 0;
            for (int step = 0; step < 2; ++step) {
              uint32_t vv = v;
              if (step && nb > 0) {
                // Solve for the magnitude directly.
                const int32_t mag = want < 0 ? -want : want;
                int64_t q = ((static_cast<int64_t>(mag) << 1) >> shl) - 1;
                q = q < 0 ? 0 : q >> 1;
                if (want < 0) q = static_cast<int64_t>((1u << nb) - 1) - q;
                vv = static_cast<uint32_t>(std::clamp<int64_t>(q, 0, (1 << nb) - 1));
              }
              const int32_t d = NefDifference(s, vv);
              const int64_t err = std::llabs(static_cast<int64_t>(want) - d) * 64 + codes.Length[s] + nb;
              if (err < best) {
                best = err;
                sym = s;
                bits = vv;
                got = d;
              }
            }
          }
        }
      }
      bw.Put(codes.Code[sym], codes.Length[sym]);
      const unsigned n = sym & 15, shl = sym >> 4;
      bw.Put(bits, shl < n ? n - shl : 0);
      const uint16_t value = static_cast<uint16_t>(pred + got);
      if (c < 2) vpred[2 * (r & 1) + c] = value;
      hpred[c & 1] = value;
      coded[static_cast<std::size_t>(r) * w + c] = value;
    }
  }
  bw.Align();
  // Room for the decoders' look-ahead.
  bw.Bytes().append(8, '\0');
  return bw.Bytes();
}

// A NEF (big-endian): IFD0 with a 4 x 4 preview and two sub-directories (a
// second preview, then the raw image), the EXIF directory with the maker note.
inline std::string WriteNef(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                            const NefOptions& o, std::vector<uint16_t>& coded) {
  const bool big = true;
  const std::string data = EncodeNefData(raw, w, h, o, coded);
  // Maker note: "Nikon\0" 02 10 00 00, then its own TIFF header.
  IfdBuilder mn(big);
  mn.Undefined(1, "0210");
  mn.Short(2, {0, 400});
  mn.Short(0x93, {o.Lossless ? 3u : 1u});
  std::string p96;
  p96.push_back(o.Lossless ? '\x46' : '\x44');
  p96.push_back(o.Lossless ? '\x30' : '\x20');
  for (auto v : o.Vini) p96 += mn.Bytes(v, 2);
  p96 += mn.Bytes(static_cast<uint32_t>(o.CurvePoints.size()), 2);
  for (auto v : o.CurvePoints) p96 += mn.Bytes(v, 2);
  if (p96.size() < 600) p96.resize(600, '\0');
  p96[562] = static_cast<char>(o.SplitRow >> 8);
  p96[563] = static_cast<char>(o.SplitRow & 0xFF);
  mn.Undefined(0x96, p96);
  std::map<uint16_t, uint32_t> fm;
  const std::string mnDir = mn.Build(8, 0, fm);
  const std::string makerNote = std::string("Nikon\0\x02\x10\0\0", 10) + "MM" + mn.Bytes(42, 2) +
                                mn.Bytes(8, 4) + mnDir;

  IfdBuilder ifd0(big), sub1(big), sub2(big), exif(big);
  AddPreviewEntries(ifd0);
  ifd0.Ascii(271, "NIKON CORPORATION");
  ifd0.Ascii(272, o.Model);
  ifd0.Long(273, {0});
  ifd0.Short(277, {1});
  ifd0.Long(278, {4});
  ifd0.Long(279, {16});
  ifd0.Ascii(306, "2024:03:05 21:14:33");
  ifd0.Long(330, {0, 0});
  ifd0.Long(34665, {0});
  AddPreviewEntries(sub1);
  sub1.Long(273, {0});
  sub1.Long(278, {4});
  sub1.Long(279, {16});
  sub2.Long(254, {0});
  sub2.Long(256, {w});
  sub2.Long(257, {h});
  sub2.Short(258, {o.Bits});
  sub2.Short(259, {34713});
  sub2.Short(262, {32803});
  sub2.Long(273, {0});
  sub2.Short(277, {1});
  sub2.Long(278, {h});
  sub2.Long(279, {static_cast<uint32_t>(data.size())});
  sub2.Short(33421, {2, 2});
  sub2.Byte(33422, {0, 1, 1, 2});
  exif.Rational(33434, 1, 250);
  exif.Short(34855, {400});
  exif.Ascii(36867, "2024:03:05 21:14:33");
  exif.Rational(37386, 500, 10);
  exif.Undefined(37500, makerNote);

  std::string file = "MM";
  file += ifd0.Bytes(42, 2) + ifd0.Bytes(8, 4);
  std::map<uint16_t, uint32_t> f0, f1, f2, fe;
  file += ifd0.Build(8, 0, f0);
  const uint32_t previewAt = static_cast<uint32_t>(file.size());
  file += std::string(16, '\x80');
  const uint32_t sub1At = static_cast<uint32_t>(file.size());
  file += sub1.Build(sub1At, 0, f1);
  const uint32_t sub2At = static_cast<uint32_t>(file.size());
  file += sub2.Build(sub2At, 0, f2);
  const uint32_t exifAt = static_cast<uint32_t>(file.size());
  file += exif.Build(exifAt, 0, fe);
  if (file.size() % 2) file.push_back('\0');
  const uint32_t dataAt = static_cast<uint32_t>(file.size());
  file += data;
  PatchLong(file, f0[273], previewAt, big);
  PatchLong(file, f1[273], previewAt, big);
  // The two sub-directory pointers sit in an array of their own.
  uint32_t arr = 0;
  for (unsigned i = 0; i < 4; ++i) arr = arr << 8 | static_cast<uint8_t>(file[f0[330] + i]);
  PatchLong(file, arr, sub1At, big);
  PatchLong(file, arr + 4, sub2At, big);
  PatchLong(file, f0[34665], exifAt, big);
  PatchLong(file, f2[273], dataAt, big);
  return file;
}

// A PEF (big-endian): IFD0 holds the raw image (compression 65535), the EXIF
// directory the Pentax maker note, whose tag 0x220 holds the code table. An
// "AOC\0" note counts its offsets from the TIFF header, a "PENTAX \0" one
// from its own start.
struct PefOptions {
  unsigned Bits = 12;
  unsigned CodeCount = 13;
  bool PentaxHeader = false;  // "PENTAX \0MM" instead of "AOC\0MM"
  bool WithTable = true;
  bool BigEndian = true;      // "MM"; "II" files store the table's words low byte first
  std::string Make = "PENTAX Corporation";
  std::string Model = "PENTAX K10D";
};

inline std::string WritePef(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                            const PefOptions& o) {
  const bool big = o.BigEndian;
  const PentaxCodes codes = MakePentaxCodes(o.CodeCount);
  const std::string data = EncodePentaxData(raw, w, h, codes) + std::string(8, '\0');
  // The table as cameras store it: a longer entry than the decoder reads.
  std::string table = codes.TableBytes(big);
  table.resize(std::max<std::size_t>(table.size(), 95), '\0');
  const std::string mark = big ? "MM" : "II";
  const std::string prefix = o.PentaxHeader ? std::string("PENTAX \0", 8) + mark : std::string("AOC\0", 4) + mark;
  auto note = [&](uint32_t noteAt) {
    IfdBuilder mn(big);
    mn.Short(1, {0});
    if (o.WithTable) mn.Undefined(0x220, table);
    std::map<uint16_t, uint32_t> f;
    const uint32_t dirAt = static_cast<uint32_t>(prefix.size());
    return prefix + mn.Build(o.PentaxHeader ? dirAt : noteAt + dirAt, 0, f);
  };
  const std::size_t noteSize = note(0).size();

  IfdBuilder ifd0(big), exif(big);
  ifd0.Long(254, {0});
  ifd0.Long(256, {w});
  ifd0.Long(257, {h});
  ifd0.Short(258, {o.Bits});
  ifd0.Short(259, {65535});
  ifd0.Short(262, {32803});
  ifd0.Ascii(271, o.Make);
  ifd0.Ascii(272, o.Model);
  ifd0.Long(273, {0});
  ifd0.Short(277, {1});
  ifd0.Long(278, {h});
  ifd0.Long(279, {static_cast<uint32_t>(data.size())});
  ifd0.Ascii(306, "2024:03:05 21:14:33");
  ifd0.Long(34665, {0});
  exif.Rational(33434, 1, 250);
  exif.Short(34855, {400});
  exif.Ascii(36867, "2024:03:05 21:14:33");
  exif.Rational(37386, 500, 10);
  exif.Undefined(37500, std::string(noteSize, '\0'));

  std::string file = mark;
  file += ifd0.Bytes(42, 2) + ifd0.Bytes(8, 4);
  std::map<uint16_t, uint32_t> f0, fe;
  file += ifd0.Build(8, 0, f0);
  if (file.size() % 2) file.push_back('\0');
  const uint32_t exifAt = static_cast<uint32_t>(file.size());
  file += exif.Build(exifAt, 0, fe);
  if (file.size() % 2) file.push_back('\0');
  uint32_t noteAt = 0;
  for (unsigned i = 0; i < 4; ++i)
    noteAt = noteAt << 8 | static_cast<uint8_t>(file[fe[37500] + (big ? i : 3 - i)]);
  file.replace(noteAt, noteSize, note(noteAt));
  const uint32_t dataAt = static_cast<uint32_t>(file.size());
  file += data;
  PatchLong(file, f0[34665], exifAt, big);
  PatchLong(file, f0[273], dataAt, big);
  return file;
}

// An ORF (little-endian, header "IIRO"): IFD0 holds the raw image as 16-bit
// samples, in the Olympus compressed code unless `plain` (then 16-bit words,
// or packed 12-bit samples when `bits` is 12).
inline std::string WriteOrf(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                            bool plain = false, unsigned bits = 16,
                            const std::string& model = "E-M5") {
  const bool big = false;
  std::string data;
  if (plain && bits == 12) {
    // Packed 12-bit samples in little-endian 32-bit words, first bit the most
    // significant, one stream across the rows.
    uint64_t acc = 0;
    unsigned n = 0;
    auto word = [&](uint32_t v) {
      for (unsigned i = 0; i < 4; ++i) data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    for (uint16_t v : raw) {
      acc = acc << 12 | (v & 0xFFF);
      n += 12;
      if (n >= 32) {
        word(static_cast<uint32_t>(acc >> (n - 32)));
        n -= 32;
      }
    }
    if (n > 0) word(static_cast<uint32_t>(acc << (32 - n)));
  } else if (plain) {
    for (uint16_t v : raw) {
      data.push_back(static_cast<char>(v & 0xFF));
      data.push_back(static_cast<char>(v >> 8));
    }
  } else {
    data = EncodeOlympusData(raw, w, h) + std::string(16, '\0');
  }
  IfdBuilder ifd0(big);
  ifd0.Long(254, {0});
  ifd0.Long(256, {w});
  ifd0.Long(257, {h});
  ifd0.Short(258, {bits});
  ifd0.Short(259, {1});
  ifd0.Short(262, {32803});
  ifd0.Ascii(271, "OLYMPUS IMAGING CORP.  ");
  ifd0.Ascii(272, model);
  ifd0.Long(273, {0});
  ifd0.Short(277, {1});
  ifd0.Long(278, {h});
  ifd0.Long(279, {static_cast<uint32_t>(data.size())});
  ifd0.Ascii(306, "2024:03:05 21:14:33");
  std::string file = "IIRO";
  file += ifd0.Bytes(8, 4);
  std::map<uint16_t, uint32_t> f0;
  file += ifd0.Build(8, 0, f0);
  if (file.size() % 2) file.push_back('\0');
  const uint32_t dataAt = static_cast<uint32_t>(file.size());
  file += data;
  PatchLong(file, f0[273], dataAt, big);
  return file;
}

} // namespace korv::test
