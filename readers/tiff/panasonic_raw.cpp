// Panasonic and Leica raw data inside the TIFF family reader: the compressed
// bit stream and the plain 16-bit layout.

#include "readers/tiff/panasonic_raw.h"

#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/truncation.h"
#include "output/row_pipeline.h"
#include "readers/tiff/tiff_hooks.h"
#include "readers/tiff/vendor_raw.h"

namespace korv {

unsigned PanasonicBitSource::Bits(unsigned n) {
  if (bitPos_ == 0) {
    const std::span<uint8_t> block(buf_.data(), BlockBytes);
    const std::size_t upper = BlockBytes - split_;
    missing_ += upper - fill_(block.subspan(split_, upper));
    if (split_ > 0) missing_ += split_ - fill_(block.subspan(0, split_));
  }
  bitPos_ = (bitPos_ - n) & 0x1FFFF;
  const unsigned k = (bitPos_ >> 3) ^ 0x3FF0;
  const unsigned word = buf_[k] | (unsigned{buf_[k + 1]} << 8);
  return (word >> (bitPos_ & 7)) & ((1u << n) - 1);
}

void DecodePanasonicRow(PanasonicBitSource& bits, std::span<uint16_t> row) {
  int pred[2] = {0, 0};
  unsigned nonzero[2] = {0, 0};
  unsigned shift = 0;
  for (std::size_t c = 0; c < row.size(); ++c) {
    const unsigned i = static_cast<unsigned>(c % 14);
    const unsigned p = i & 1;
    if (i == 0) pred[0] = pred[1] = 0, nonzero[0] = nonzero[1] = 0;
    if (i % 3 == 2) shift = 4u >> (3 - bits.Bits(2));
    if (nonzero[p] != 0) {
      const unsigned j = bits.Bits(8);
      if (j != 0) {
        pred[p] -= 0x80 << shift;
        if (pred[p] < 0 || shift == 4) pred[p] &= (1 << shift) - 1;
        pred[p] += static_cast<int>(j << shift);
      }
    } else {
      nonzero[p] = bits.Bits(8);
      if (nonzero[p] != 0 || i > 11) pred[p] = static_cast<int>(nonzero[p] << 4 | bits.Bits(4));
    }
    row[c] = static_cast<uint16_t>(pred[p]);
  }
}

namespace {

// Models whose files without a raw-data offset always hold plain samples.
bool PlainOnlyModel(std::string_view model) {
  return In(model, {"DMC-L1", "DMC-LX1", "DMC-LX2", "DMC-FZ30", "DMC-FZ50", "V-LUX 1",
                    "DIGILUX 2", "D-LUX 3"});
}

} // namespace

void ReadPanasonicRaw(TiffReader& t) {
  Conversion& cv = t.cv;
  Say(cv, " Panasonic & Leica - exp\u00e9rimental");
  cv.State.EraseInput = 0;
  const uint64_t fileSize = static_cast<uint64_t>(std::max<int64_t>(0, t.file.FileSize()));
  const uint64_t w = t.ImageWidth;
  const uint64_t h = t.ImageHeight;
  bool compressed = false;
  unsigned split = 0;
  uint64_t origin = t.Base + t.StripOrigin;
  if (t.StripOrigin >= 1) {
    compressed = true;
    split = 8200;
  } else {
    origin = t.Base + 1542;
    const uint64_t rowBytes = 8 * w / 7;
    if (!PlainOnlyModel(cv.State.Detector.view()) && rowBytes > 0 && fileSize > 1542 &&
        (fileSize - 1542) / rowBytes > h + 10) {
      compressed = true;
      origin = fileSize > rowBytes * h ? (fileSize - rowBytes * h) / 256 * 256 : 0;
    }
  }
  // The compressed stream codes 14 samples in 16 bytes. Behind a split offset
  // it is read in whole blocks, each from its split offset on first: a block the
  // file cuts short lacks the start of its stream, not its end.
  constexpr uint64_t Block = PanasonicBitSource::BlockBytes;
  uint64_t needed = compressed ? (w * h + 13) / 14 * 16 : 2 * w * h;
  if (split > 0) needed = (needed + Block - 1) / Block * Block;
  const uint64_t held = CheckVendorData(t, origin, needed);
  PrepareOutput(cv);
  std::span<uint16_t> row = cv.Row();
  if (compressed) {
    uint64_t pos = origin;
    PanasonicBitSource bits(
        [&](std::span<uint8_t> out) {
          const std::size_t got = t.file.ReadAt(pos, out);
          pos += out.size();
          return got;
        },
        split);
    for (uint32_t r = 0; r < h; ++r) {
      DecodePanasonicRow(bits, row);
      for (uint32_t x = 0; x < w; ++x) row[x] = FinishSample(t, row[x], x, r);
      WriteOutputRow(cv, static_cast<uint16_t>(r));
    }
  } else {
    // Samples sit in the high 12 bits of little-endian words.
    std::vector<uint8_t> bytes(2 * w);
    for (uint32_t r = 0; r < h; ++r) {
      t.file.ReadAt(origin + 2 * w * r, bytes);
      for (uint32_t x = 0; x < w; ++x) {
        const unsigned v = bytes[2 * x] | (unsigned{bytes[2 * x + 1]} << 8);
        row[x] = FinishSample(t, v >> 4, x, r);
      }
      WriteOutputRow(cv, static_cast<uint16_t>(r));
    }
  }
  NoteVendorShortfall(t, held, needed);
}

} // namespace korv
