// Small vendor raw files for the tests and the peer cross-checks: a Kodak DC120
// file (a thumbnail directory, then the directory of the rotated 848-byte rows),
// Panasonic RW2 files (header word 0x55, the maker's tag numbers; a compressed
// stream behind the raw-data offset tag or found from the file size, or plain
// 16-bit words), the encoder of the Panasonic stream, and Fujifilm RAF files
// in each data layout (with the JPEG preview, its EXIF and the raw-layout TIFF
// of the CFA block that other readers need).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/raw_file_writer.h"

namespace korv::test {

// --- Kodak DC120 --------------------------------------------------------------

// Rotates rows given in column order (848 bytes each) the way the camera
// stores them: column 0 of row r sits at byte (r * m + a) mod 848.
inline std::vector<uint8_t> RotateDc120Rows(const std::vector<uint8_t>& columns, unsigned h) {
  static constexpr unsigned Mul[4] = {162, 192, 187, 92};
  static constexpr unsigned Add[4] = {0, 636, 424, 212};
  std::vector<uint8_t> stored(columns.size());
  for (unsigned r = 0; r < h; ++r) {
    const unsigned shift = (r * Mul[r & 3] + Add[r & 3]) % 848;
    for (unsigned i = 0; i < 848; ++i)
      stored[std::size_t{r} * 848 + (i + shift) % 848] = columns[std::size_t{r} * 848 + i];
  }
  return stored;
}

// A big-endian KDC: IFD0 a 4 x 4 thumbnail with the make and model, IFD1 the
// camera's 1280-wide directory whose strip holds `stored` (848 bytes a row).
inline std::string WriteDc120(const std::vector<uint8_t>& stored, unsigned h,
                              const std::string& model = "DC120") {
  const bool big = true;
  IfdBuilder ifd0(big), ifd1(big);
  AddPreviewEntries(ifd0);
  ifd0.Ascii(271, "Eastman Kodak Company");
  ifd0.Ascii(272, model);
  ifd0.Long(273, {0});
  ifd0.Short(277, {1});
  ifd0.Long(278, {4});
  ifd0.Long(279, {16});
  ifd1.Long(254, {0});
  ifd1.Long(256, {1280});
  ifd1.Long(257, {h});
  ifd1.Short(258, {8});
  ifd1.Short(259, {1});
  ifd1.Short(262, {32803});
  ifd1.Long(273, {0});
  ifd1.Short(277, {1});
  ifd1.Long(278, {h});
  ifd1.Long(279, {static_cast<uint32_t>(stored.size())});
  std::map<uint16_t, uint32_t> f0, f1;
  std::string file = "MM" + ifd0.Bytes(42, 2) + ifd0.Bytes(8, 4);
  file += ifd0.Build(8, 0, f0);
  const uint32_t thumbAt = static_cast<uint32_t>(file.size());
  file += std::string(16, '\x40');
  const uint32_t ifd1At = static_cast<uint32_t>(file.size());
  file += ifd1.Build(ifd1At, 0, f1);
  const uint32_t dataAt = static_cast<uint32_t>(file.size());
  file.append(stored.begin(), stored.end());
  PatchLong(file, f0[273], thumbAt, big);
  // IFD0's next-directory field follows its entries.
  PatchLong(file, 8 + 2 + 12 * static_cast<uint32_t>(ifd0.Entries().size()), ifd1At, big);
  PatchLong(file, f1[273], dataAt, big);
  return file;
}

// --- Panasonic ----------------------------------------------------------------

// The stream is read in 16-byte groups, each a little-endian 128-bit number
// taken from its top bit down; this writer puts fields in that order.
class PanasonicBitWriter {
public:
  void Put(unsigned value, unsigned n) {
    for (unsigned b = 0; b < n; ++b, ++pos_) {
      const std::size_t group = pos_ / 128;
      const unsigned bit = 127 - static_cast<unsigned>(pos_ % 128);
      const std::size_t byte = group * 16 + bit / 8;
      if (out_.size() <= byte) out_.resize(group * 16 + 16, '\0');
      if ((value >> (n - 1 - b)) & 1) out_[byte] = static_cast<char>(out_[byte] | (1 << (bit % 8)));
    }
  }
  uint64_t Bits() const { return pos_; }
  std::string& Bytes() { return out_; }

private:
  uint64_t pos_ = 0;
  std::string out_;
};

// Value after an 8-bit step j from predictor `pred` with shift `sh` (the
// decoder's rule; j = 0 keeps the predictor).
inline int PanasonicStep(int pred, unsigned sh, unsigned j) {
  if (j == 0) return pred;
  pred -= 0x80 << sh;
  if (pred < 0 || sh == 4) pred &= (1 << sh) - 1;
  return pred + static_cast<int>(j << sh);
}

// The step nearest `want` from `pred`.
inline unsigned PanasonicBestStep(int pred, unsigned sh, int want) {
  unsigned best = 0;
  int err = std::abs(want - pred);
  for (unsigned j = 1; j < 256; ++j) {
    const int e = std::abs(want - PanasonicStep(pred, sh, j));
    if (e < err) err = e, best = j;
  }
  return best;
}

// Encodes w x h samples below 4096 (w a multiple of 14) as the Panasonic
// stream: each block of 14 takes exactly 128 bits (its first two samples are
// raised to 16 at least so that both start their predictor). The shift of
// each triple is the one that comes nearest; `coded` receives the values a
// decoder must rebuild.
inline std::string EncodePanasonic(const std::vector<uint16_t>& samples, unsigned w, unsigned h,
                                   std::vector<uint16_t>& coded) {
  PanasonicBitWriter bw;
  coded.assign(samples.size(), 0);
  static constexpr unsigned Shifts[4] = {0, 1, 2, 4};
  for (unsigned r = 0; r < h; ++r) {
    for (unsigned c0 = 0; c0 < w; c0 += 14) {
      const uint16_t* t = &samples[std::size_t{r} * w + c0];
      uint16_t* out = &coded[std::size_t{r} * w + c0];
      int pred[2] = {0, 0};
      for (unsigned i = 0; i < 2; ++i) {
        const unsigned v = std::clamp<unsigned>(t[i], 16, 4095);
        bw.Put(v >> 4, 8);
        bw.Put(v & 15, 4);
        pred[i] = static_cast<int>(v);
        out[i] = static_cast<uint16_t>(v);
      }
      for (unsigned i = 2; i < 14; i += 3) {
        unsigned bestCode = 0;
        long bestErr = -1;
        for (unsigned code = 0; code < 4; ++code) {
          int p[2] = {pred[0], pred[1]};
          long err = 0;
          for (unsigned k = i; k < i + 3; ++k) {
            const unsigned j = PanasonicBestStep(p[k & 1], Shifts[code], t[k]);
            p[k & 1] = PanasonicStep(p[k & 1], Shifts[code], j);
            err += std::abs(p[k & 1] - static_cast<int>(t[k]));
          }
          if (bestErr < 0 || err < bestErr) bestErr = err, bestCode = code;
        }
        bw.Put(bestCode, 2);
        for (unsigned k = i; k < i + 3; ++k) {
          const unsigned j = PanasonicBestStep(pred[k & 1], Shifts[bestCode], t[k]);
          bw.Put(j, 8);
          pred[k & 1] = PanasonicStep(pred[k & 1], Shifts[bestCode], j);
          out[k] = static_cast<uint16_t>(pred[k & 1]);
        }
      }
    }
  }
  return bw.Bytes();
}

// The stream as the file stores it behind a split offset: padded to whole
// blocks of 16 KiB, each block holding its bytes from `split` on first, then
// its first `split` bytes (what a reader rotates back on each refill).
inline std::string PanasonicSplitBlocks(std::string stream, unsigned split) {
  constexpr std::size_t Block = 0x4000;
  stream.resize((stream.size() + Block - 1) / Block * Block, '\0');
  std::string file;
  for (std::size_t b = 0; b < stream.size(); b += Block)
    file += stream.substr(b + split, Block - split) + stream.substr(b, split);
  return file;
}

enum class Rw2Layout {
  CompressedAtTag,   // stream behind the raw-data offset tag (280)
  CompressedBySize,  // no tag 280: the stream ends the file, found from its size
  Plain,             // 16-bit words at byte 1542, the samples in their high 12 bits
};

// A little-endian RW2 of w x h samples. `data` is the stream (compressed
// layouts) or the 16-bit words, laid out as the layout says; tags 273, 278 and
// 279 give the data's place as well (the peers read it there). `trailing`
// bytes follow the data.
inline std::string WriteRw2(const std::string& data, unsigned w, unsigned h, Rw2Layout layout,
                            const std::string& model, std::size_t trailing = 0) {
  const bool big = false;
  IfdBuilder ifd(big);
  ifd.Undefined(1, "0310");
  ifd.Short(2, {w});
  ifd.Short(3, {h});
  ifd.Short(10, {12});
  ifd.Short(23, {200});
  ifd.Ascii(271, "Panasonic");
  ifd.Ascii(272, model);
  if (layout == Rw2Layout::CompressedAtTag) {
    ifd.Long(280, {0});
  } else {
    ifd.Long(273, {0});
    ifd.Short(278, {static_cast<uint32_t>(h)});
    ifd.Long(279, {static_cast<uint32_t>(data.size())});
  }
  std::map<uint16_t, uint32_t> f;
  std::string file = "II" + ifd.Bytes(0x55, 2) + ifd.Bytes(8, 4);
  file += ifd.Build(8, 0, f);
  uint32_t at = static_cast<uint32_t>(file.size());
  if (layout == Rw2Layout::Plain) at = 1542;
  if (layout == Rw2Layout::CompressedBySize) {
    // Past 1542 by more than ten rows of 8w/7 bytes, on a multiple of 256.
    const uint32_t rowBytes = 8 * w / 7;
    at = (1542 + 11 * rowBytes + 255) / 256 * 256;
  }
  file.resize(at, '\0');
  file += data;
  file.append(trailing, '\0');
  PatchLong(file, f[layout == Rw2Layout::CompressedAtTag ? 280 : 273], at, big);
  return file;
}

// The plain layout's words for samples below 4096: each sample in the high 12
// bits, low bits `noise` (what the reader drops).
inline std::string PanasonicPlainWords(const std::vector<uint16_t>& samples, unsigned seed) {
  std::mt19937 rng(seed);
  std::string d;
  for (uint16_t v : samples) {
    const unsigned word = (unsigned{v} << 4) | (rng() & 15);
    d.push_back(static_cast<char>(word & 0xFF));
    d.push_back(static_cast<char>(word >> 8));
  }
  return d;
}

// --- Fujifilm RAF -------------------------------------------------------------

// The JPEG preview: APP1 with EXIF (make, model, date) in the chosen byte order.
inline std::string RafPreview(const std::string& model, bool little) {
  IfdBuilder exif(!little);
  exif.Ascii(271, "FUJIFILM");
  exif.Ascii(272, model);
  exif.Ascii(306, "2019:05:04 13:22:41");
  std::map<uint16_t, uint32_t> f;
  const std::string tiff = std::string(little ? "II" : "MM") + exif.Bytes(42, 2) +
                           exif.Bytes(8, 4) + exif.Build(8, 0, f);
  const std::string app1 = std::string("Exif\0\0", 6) + tiff;
  const std::size_t len = app1.size() + 2;
  return std::string("\xFF\xD8\xFF\xE1", 4) + static_cast<char>(len >> 8) +
         static_cast<char>(len & 0xFF) + app1 + "\xFF\xD9";
}

struct RafOptions {
  std::string Model = "FinePix TEST";
  bool LittleExif = true;
  bool Geometry = true;  // directory entry 0x100 (height, width)
  uint32_t Width = 0;    // the directory's geometry
  uint32_t Height = 0;
  // The CFA block starts with the TIFF of the raw layout that the peers read
  // (tag 0xF000 pointing to the maker's raw tags: size, bits, packing, data
  // place), the data at DataAt within the block after zeros; without it the
  // data start the block.
  bool CfaTiff = false;
  uint32_t TiffWidth = 0;
  uint32_t TiffHeight = 0;
  uint32_t TiffBits = 16;
  int PackedFlag = -1;     // tag 0xF006: 1 words of 32 bits, 0 12-bit little-endian; -1 none
  uint32_t DataAt = 2048;  // 0: the data end the file (after the block's TIFF)
  int64_t CfaLength = -1;  // the header's CFA length; -1: the block's size
};

inline std::string WriteRaf(const std::string& data, const RafOptions& o) {
  const bool big = true;
  IfdBuilder be(big);
  std::string f = "FUJIFILMCCD-RAW 0201FF383501";
  std::string model = o.Model;
  model.resize(32, '\0');
  f += model + "0100" + std::string(20, '\0');
  f.resize(160, '\0');  // the offsets at 84 are set below
  const uint32_t previewAt = static_cast<uint32_t>(f.size());
  const std::string preview = RafPreview(o.Model, o.LittleExif);
  f += preview;
  f.resize((f.size() + 15) / 16 * 16, '\0');
  const uint32_t dirAt = static_cast<uint32_t>(f.size());
  const uint32_t imageW = o.CfaTiff ? o.TiffWidth : o.Width;
  const uint32_t imageH = o.CfaTiff ? o.TiffHeight : o.Height;
  std::string dir = be.Bytes(o.Geometry ? 2 : 1, 4);
  if (o.Geometry)
    dir += be.Bytes(0x100, 2) + be.Bytes(4, 2) + be.Bytes(o.Height, 2) + be.Bytes(o.Width, 2);
  dir += be.Bytes(0x121, 2) + be.Bytes(4, 2) + be.Bytes(imageH, 2) + be.Bytes(imageW, 2);
  f += dir;
  f.resize((f.size() + 255) / 256 * 256, '\0');
  const uint32_t cfaAt = static_cast<uint32_t>(f.size());
  std::string block;
  if (o.CfaTiff) {
    IfdBuilder top(big), raw(big);
    top.Long(0xF000, {26});
    raw.Long(0xF001, {o.TiffWidth});
    raw.Long(0xF002, {o.TiffHeight});
    raw.Long(0xF003, {o.TiffBits});
    if (o.PackedFlag >= 0) raw.Long(0xF006, {static_cast<uint32_t>(o.PackedFlag)});
    raw.Long(0xF007, {0});
    raw.Long(0xF008, {static_cast<uint32_t>(data.size())});
    std::map<uint16_t, uint32_t> f0, f1;
    block = "MM" + be.Bytes(42, 2) + be.Bytes(8, 4) + top.Build(8, 0, f0);
    block += raw.Build(static_cast<uint32_t>(block.size()), 0, f1);
    const uint32_t at = o.DataAt != 0 ? o.DataAt : static_cast<uint32_t>(block.size() + 128);
    PatchLong(block, f1[0xF007], at, big);
    block.resize(at, '\0');
  }
  block += data;
  f += block;
  const uint32_t places[6] = {previewAt, static_cast<uint32_t>(preview.size()), dirAt,
                              static_cast<uint32_t>(dir.size()), cfaAt,
                              static_cast<uint32_t>(o.CfaLength >= 0 ? o.CfaLength : block.size())};
  for (unsigned k = 0; k < 6; ++k) PatchLong(f, 84 + 4 * k, places[k], big);
  return f;
}

// 16-bit samples in the given byte order.
inline std::string RafWords16(const std::vector<uint16_t>& v, bool little) {
  std::string d;
  for (uint16_t x : v) {
    d.push_back(static_cast<char>(little ? x & 0xFF : x >> 8));
    d.push_back(static_cast<char>(little ? x >> 8 : x & 0xFF));
  }
  return d;
}

inline void SwapWords32(std::string& d, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i + 4 <= to; i += 4) {
    std::swap(d[i], d[i + 3]);
    std::swap(d[i + 1], d[i + 2]);
  }
}

// 12-bit samples packed big-endian in pairs of 3 bytes, one stream for all
// rows, stored as 32-bit little-endian words (each 4 bytes reversed).
inline std::string RafPacked12Words(const std::vector<uint16_t>& v) {
  std::string d;
  for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
    d.push_back(static_cast<char>(v[i] >> 4));
    d.push_back(static_cast<char>((v[i] & 15) << 4 | v[i + 1] >> 8));
    d.push_back(static_cast<char>(v[i + 1] & 0xFF));
  }
  d.resize((d.size() + 3) / 4 * 4, '\0');
  SwapWords32(d, 0, d.size());
  return d;
}

// 14-bit samples, most significant bit first, row by row (w * 14 / 8 bytes),
// the whole words of each row reversed.
inline std::string RafPacked14Rows(const std::vector<uint16_t>& v, unsigned w, unsigned h) {
  const std::size_t rowBytes = std::size_t{w} * 14 / 8;
  std::string d(rowBytes * h, '\0');
  for (unsigned r = 0; r < h; ++r) {
    for (unsigned x = 0; x < w; ++x)
      for (unsigned b = 0; b < 14; ++b)
        if ((v[std::size_t{r} * w + x] >> (13 - b)) & 1) {
          const std::size_t bit = std::size_t{x} * 14 + b;
          char& c = d[r * rowBytes + bit / 8];
          c = static_cast<char>(c | (0x80 >> (bit % 8)));
        }
    SwapWords32(d, r * rowBytes, (r + 1) * rowBytes);
  }
  return d;
}

// 12-bit samples packed little-endian in pairs of 3 bytes.
inline std::string RafPacked12Little(const std::vector<uint16_t>& v) {
  std::string d;
  for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
    d.push_back(static_cast<char>(v[i] & 0xFF));
    d.push_back(static_cast<char>(v[i] >> 8 | (v[i + 1] & 15) << 4));
    d.push_back(static_cast<char>(v[i + 1] >> 4));
  }
  return d;
}

// The RAF kinds: w x h the directory's geometry (the HS10 has none: 3664 x
// 2742). `samples` receives the mosaic in stored order (for case 0: the rows of
// 2w samples as the stream holds them, even rows first). Data that follow a
// zero run start with a non-zero byte (the reader skips to the first one).
inline bool WriteRafKind(const std::string& kind, unsigned w, unsigned h, unsigned seed,
                         std::string& file, std::vector<uint16_t>* samples = nullptr) {
  RafOptions o;
  o.Width = w;
  o.Height = h;
  unsigned bits = 14, sw = w, sh = h;
  std::string (*pack)(const std::vector<uint16_t>&, unsigned, unsigned) = nullptr;
  const auto words16 = [](const std::vector<uint16_t>& v, unsigned, unsigned) {
    return RafWords16(v, true);
  };
  const auto tiff = [&](unsigned tw, unsigned th, unsigned tb, int flag) {
    o.CfaTiff = true;
    o.TiffWidth = tw;
    o.TiffHeight = th;
    o.TiffBits = tb;
    o.PackedFlag = flag;
  };
  if (kind == "raf16") {
    pack = words16;
  } else if (kind == "raf16-mm") {
    o.LittleExif = false;
    tiff(w, h, 16, -1);
    pack = [](const std::vector<uint16_t>& v, unsigned, unsigned) { return RafWords16(v, false); };
  } else if (kind == "raf-s2pro") {
    o.Model = "FinePixS2Pro";
    pack = words16;
  } else if (kind == "raf-f800") {
    o.Model = "FinePix F800EXR";
    tiff(w, h, 16, -1);
    pack = words16;
  } else if (kind == "raf-sl1000" || kind == "raf-hs10") {
    if (kind == "raf-hs10") {
      o.Model = "FinePix HS10 HS11";
      o.Geometry = false;
      sw = 3664;
      sh = 2742;
    } else {
      o.Model = "FinePix SL1000";
    }
    bits = 12;
    tiff(sw, sh, 12, 1);
    pack = [](const std::vector<uint16_t>& v, unsigned, unsigned) { return RafPacked12Words(v); };
  } else if (kind == "raf-xa10") {
    o.Model = "X-A10";
    bits = 12;
    tiff(w, h, 12, 1);
    o.DataAt = 1024;
    pack = [](const std::vector<uint16_t>& v, unsigned, unsigned) { return RafPacked12Words(v); };
  } else if (kind == "raf-xa3") {
    o.Model = "X-A3";
    tiff(w, h, 14, 1);
    o.DataAt = 0;
    pack = RafPacked14Rows;
  } else if (kind == "raf-case0") {
    // Twice the directory's width of 12-bit samples, in fewer bytes than 16
    // bits for each pixel of the directory's geometry.
    bits = 12;
    sw = 2 * w;
    tiff(sw, h, 12, 0);
    o.CfaLength = std::int64_t{w} * h;
    pack = [](const std::vector<uint16_t>& v, unsigned, unsigned) { return RafPacked12Little(v); };
  } else {
    return false;
  }
  std::vector<uint16_t> v = MakeMosaic(sw, sh, bits, seed);
  std::string data = pack(v, sw, sh);
  for (unsigned k = 0; data[0] == '\0' && k < 16; ++k) {
    for (unsigned i = 0; i < 4 && i < v.size(); ++i)
      v[i] = static_cast<uint16_t>(std::min<unsigned>(v[i] + 17, (1u << bits) - 1));
    data = pack(v, sw, sh);
  }
  file = WriteRaf(data, o);
  if (samples) *samples = v;
  return true;
}

// --- Files by kind name (the make_raw_files tool) ----------------------------

// dc120 (h rows; w is 848), rw2-tag, rw2-size, rw2-plain (w a multiple of 14
// for the compressed ones), rw2-random (a random stream of any width, 16 KiB
// of zeros after it), the RAF kinds of WriteRafKind. False for another kind.
inline bool WriteVendorRawKind(const std::string& kind, unsigned w, unsigned h, unsigned seed,
                               std::string& file) {
  if (WriteRafKind(kind, w, h, seed, file)) return true;
  if (kind == "dc120") {
    std::mt19937 rng(seed);
    std::vector<uint8_t> stored(std::size_t{848} * h);
    for (auto& b : stored) b = static_cast<uint8_t>(rng());
    file = WriteDc120(stored, h);
    return true;
  }
  if (kind.rfind("rw2-", 0) != 0) return false;
  const std::vector<uint16_t> mosaic = MakeMosaic(w, h, 12, seed);
  std::vector<uint16_t> coded;
  if (kind == "rw2-tag") {
    file = WriteRw2(PanasonicSplitBlocks(EncodePanasonic(mosaic, w, h, coded), 8200), w, h,
                    Rw2Layout::CompressedAtTag, "DMC-GX9");
  } else if (kind == "rw2-size") {
    file = WriteRw2(EncodePanasonic(mosaic, w, h, coded), w, h, Rw2Layout::CompressedBySize,
                    "DMC-GX9");
  } else if (kind == "rw2-plain") {
    file = WriteRw2(PanasonicPlainWords(mosaic, seed), w, h, Rw2Layout::Plain, "DMC-FZ30");
  } else if (kind == "rw2-random") {
    std::mt19937 rng(seed);
    std::string stream((std::size_t{w} * h + 13) / 14 * 16, '\0');
    for (auto& b : stream) b = static_cast<char>(rng());
    file = WriteRw2(stream, w, h, Rw2Layout::CompressedAtTag, "DMC-GX9", 0x4000);
  } else {
    return false;
  }
  return true;
}

} // namespace korv::test
