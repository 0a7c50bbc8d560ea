// Small vendor raw files for the tests and the peer cross-checks: a Kodak DC120
// file (a thumbnail directory, then the directory of the rotated 848-byte rows),
// Panasonic RW2 files (header word 0x55, the maker's tag numbers; a compressed
// stream behind the raw-data offset tag or found from the file size, or plain
// 16-bit words), and the encoder of the Panasonic stream.
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
  ifd0.Long(254, {1});
  ifd0.Long(256, {4});
  ifd0.Long(257, {4});
  ifd0.Short(258, {8});
  ifd0.Short(259, {1});
  ifd0.Short(262, {1});
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

// --- Files by kind name (the make_raw_files tool) ----------------------------

// dc120 (h rows; w is 848), rw2-tag, rw2-size, rw2-plain (w a multiple of 14
// for the compressed ones), rw2-random (a random stream of any width, 16 KiB
// of zeros after it). False for another kind.
inline bool WriteVendorRawKind(const std::string& kind, unsigned w, unsigned h, unsigned seed,
                               std::string& file) {
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
