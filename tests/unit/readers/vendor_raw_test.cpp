// Vendor raw unpackers of the TIFF family: the Panasonic bit stream and its
// blocks of 14, the DC120 row rotation, and the refusals of stripped files and
// of compressions not decoded here.

#include <gtest/gtest.h>

#include <vector>

#include "readers/tiff/kodak_dc120.h"
#include "readers/tiff/panasonic_raw.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::ScratchDir;
using test::misc_raster::ConvertFile;

PanasonicBitSource Source(const std::vector<uint8_t>& stream, unsigned split,
                          std::vector<std::size_t>* asked = nullptr) {
  auto pos = std::make_shared<std::size_t>(0);
  return PanasonicBitSource(
      [stream, pos, asked](std::span<uint8_t> out) {
        if (asked) asked->push_back(out.size());
        std::size_t got = 0;
        for (uint8_t& b : out) {
          b = *pos < stream.size() ? stream[*pos] : 0;
          got += *pos < stream.size() ? 1 : 0;
          ++*pos;
        }
        return got;
      },
      split);
}

TEST(PanasonicStream, RefillsRotateTheBlockBySplitOffset) {
  std::vector<std::size_t> asked;
  std::vector<uint8_t> stream(0x4000);
  stream[8184 + 15] = 0xA5; // with split 8200, byte 15 of the block is stream byte 8184 + 15
  PanasonicBitSource bits = Source(stream, 8200, &asked);
  EXPECT_EQ(bits.Bits(8), 0xA5u);
  EXPECT_EQ(asked, (std::vector<std::size_t>{8184, 8200}));
  PanasonicBitSource plain = Source(stream, 0, &asked);
  EXPECT_EQ(plain.Bits(8), 0u);
  EXPECT_EQ(asked.back(), 0x4000u);
}

TEST(PanasonicStream, BlocksOfFourteenCarryTheirPredictorsAndColumnFourteenRestarts) {
  // An all-zero block takes 128 bits; its first 8-bit field is byte 15, the
  // next block's is byte 31. A first field 0x12 starts the even predictor at
  // 0x120, which the zero steps after it keep.
  for (uint8_t next : {uint8_t{0}, uint8_t{0x34}}) {
    std::vector<uint8_t> stream(0x4000);
    stream[15] = 0x12;
    stream[31] = next;
    PanasonicBitSource bits = Source(stream, 0);
    std::vector<uint16_t> row(28);
    DecodePanasonicRow(bits, row);
    for (unsigned c = 0; c < 14; c += 2) EXPECT_EQ(row[c], 0x120) << c;
    for (unsigned c = 1; c < 14; c += 2) EXPECT_EQ(row[c], 0) << c;
    EXPECT_EQ(row[14], next << 4);
    EXPECT_EQ(row[16], next << 4);
  }
}

TEST(KodakDc120, RowsAreRotatedByTheirRowNumber) {
  EXPECT_EQ(Dc120RowShift(0), 0u);
  EXPECT_EQ(Dc120RowShift(1), 828u); // (192 + 636) mod 848
  EXPECT_EQ(Dc120RowShift(2), (2 * 187 + 424) % 848);
  EXPECT_EQ(Dc120RowShift(5), (5 * 192 + 636) % 848);
  std::vector<uint8_t> stored(Dc120RowBytes);
  for (unsigned i = 0; i < Dc120RowBytes; ++i) stored[i] = static_cast<uint8_t>(i);
  std::vector<uint16_t> out(Dc120RowBytes);
  UnrotateDc120Row(stored, 1, out);
  EXPECT_EQ(out[0], 828 % 256);
  EXPECT_EQ(out[20], 0); // wraps to stored byte 0
}

TEST(VendorRawCorpus, StrippedPanasonicFileIsRefusedWithoutOutput) {
  const auto corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  const auto r = ConvertFile("p.rw2", test::ReadFile(corpus / "raw" / "exiftool_Panasonic.rw2"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("p.fit"));
}

} // namespace
} // namespace korv
