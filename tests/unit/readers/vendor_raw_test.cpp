// Vendor raw unpackers of the TIFF family: the Panasonic bit stream and its
// blocks of 14, the DC120 row rotation, and the refusals of stripped files and
// of compressions not decoded here.

#include <gtest/gtest.h>

#include <vector>

#include "readers/tiff/kodak_dc120.h"
#include "readers/tiff/panasonic_raw.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"
#include "tests/vendor_raw_files.h"

namespace korv {
namespace {

using test::ScratchDir;
using test::misc_raster::ConvertFile;
using test::misc_raster::ReadFitsImage;

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

// Column-order DC120 rows of a recognisable pattern.
std::vector<uint8_t> Dc120Columns(unsigned h) {
  std::vector<uint8_t> c(std::size_t{848} * h);
  for (unsigned r = 0; r < h; ++r)
    for (unsigned i = 0; i < 848; ++i)
      c[std::size_t{r} * 848 + i] = static_cast<uint8_t>(i * 7 + r * 13);
  return c;
}

TEST(KodakDc120, TheModelTellsTheCameraAndItsRowsComeBackInColumnOrder) {
  ScratchDir dir;
  const unsigned h = 9;
  const std::vector<uint8_t> columns = Dc120Columns(h);
  const std::vector<uint8_t> stored = test::RotateDc120Rows(columns, h);
  // Row 1 starts at byte 828 of its stored bytes.
  EXPECT_EQ(stored[848 + 828], columns[848]);
  // The model is matched folded, wherever it stands in the text.
  for (const std::string model : {"DC120", "Kodak dc120 ZOOM"}) {
    const auto r = ConvertFile("k.kdc", test::WriteDc120(stored, h, model), {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    const auto img = ReadFitsImage("k.fit");
    ASSERT_EQ(img.Width, 848);
    ASSERT_EQ(img.Height, static_cast<long>(h));
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < 848; ++x)
        ASSERT_EQ(img.Top(y, x), columns[std::size_t{y} * 848 + x])
            << model << " " << x << "," << y;
    std::filesystem::remove("k.fit");
  }
  // Another Kodak model keeps the directory's geometry.
  const auto other = ConvertFile("o.kdc", test::WriteDc120(stored, h, "DC50"), {"C1,1,1,1"});
  EXPECT_FALSE(other.Has("Nph=848")) << other.Console;
}

TEST(VendorRaw, StrippedFilesStopBeforeAnyOutput) {
  ScratchDir dir;
  const unsigned h = 12;
  std::string dc = test::WriteDc120(test::RotateDc120Rows(Dc120Columns(h), h), h);
  dc.resize(dc.size() - 848 * h + 100);
  const std::vector<uint16_t> mosaic = test::MakeMosaic(28, 16, 12, 3);
  std::vector<uint16_t> coded;
  const std::string stream = test::EncodePanasonic(mosaic, 28, 16, coded);
  std::string tag = test::WriteRw2(test::PanasonicSplitBlocks(stream, 8200), 28, 16,
                                   test::Rw2Layout::CompressedAtTag, "DMC-GX9");
  tag.resize(tag.size() - 0x4000 + 3000);
  std::string plain = test::WriteRw2(test::PanasonicPlainWords(mosaic, 1), 28, 16,
                                     test::Rw2Layout::Plain, "DMC-FZ30");
  plain.resize(1542 + 100);
  for (const auto& [name, bytes] : {std::pair{"s.kdc", dc}, {"t.rw2", tag}, {"p.rw2", plain}}) {
    const auto r = ConvertFile(name, bytes);
    EXPECT_EQ(r.Status, 1) << name;
    EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier")) << name << r.Console;
    EXPECT_EQ(r.Console.find("Sor="), std::string::npos) << name;
    const std::string out = std::string(name).substr(0, 1) + ".fit";
    EXPECT_FALSE(std::filesystem::exists(out)) << name;
  }
}

// The three layouts of RW2 data: the encoded stream behind the raw-data offset
// tag (read with the split offset), the same stream at the end of a file
// without that tag (read without it), and plain words.
TEST(PanasonicRaw, EachLayoutGivesTheCodedSamples) {
  ScratchDir dir;
  const unsigned w = 42, h = 30;
  const std::vector<uint16_t> mosaic = test::MakeMosaic(w, h, 12, 5);
  std::vector<uint16_t> coded;
  const std::string stream = test::EncodePanasonic(mosaic, w, h, coded);
  // The encoder comes near the mosaic: a wrong rebuild would not.
  unsigned close = 0;
  for (std::size_t i = 0; i < coded.size(); ++i) close += std::abs(coded[i] - mosaic[i]) < 64;
  EXPECT_GT(close, coded.size() * 9 / 10);
  struct Case {
    std::string Name;
    std::string File;
    const std::vector<uint16_t>* Want;
  } cases[] = {
      {"tag", test::WriteRw2(test::PanasonicSplitBlocks(stream, 8200), w, h,
                             test::Rw2Layout::CompressedAtTag, "DMC-GX9"), &coded},
      {"size", test::WriteRw2(stream, w, h, test::Rw2Layout::CompressedBySize, "DMC-GX9"), &coded},
      {"plain", test::WriteRw2(test::PanasonicPlainWords(mosaic, 2), w, h, test::Rw2Layout::Plain,
                               "DMC-FZ30"), &mosaic},
  };
  for (const Case& c : cases) {
    const auto r = ConvertFile(c.Name + ".rw2", c.File, {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << c.Name << r.Console;
    EXPECT_TRUE(r.Has(" Panasonic & Leica - exp\u00e9rimental"));
    EXPECT_EQ(r.Truncated.Missing, 0u) << c.Name;
    const auto img = ReadFitsImage(c.Name + ".fit");
    ASSERT_TRUE(img.Valid);
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x)
        ASSERT_EQ(img.Top(y, x), (*c.Want)[std::size_t{y} * w + x])
            << c.Name << " " << x << "," << y;
  }
}

TEST(PanasonicRaw, ASplitStreamWhoseLastBlockIsCutShortIsRecordedAsTruncated) {
  ScratchDir dir;
  const unsigned w = 28, h = 20;
  std::vector<uint16_t> coded;
  const std::string stream = test::EncodePanasonic(test::MakeMosaic(w, h, 12, 7), w, h, coded);
  // The stream alone, without the rest of its block: its first bytes would be
  // read from past the end of the file.
  std::string file = test::WriteRw2(test::PanasonicSplitBlocks(stream, 8200), w, h,
                                    test::Rw2Layout::CompressedAtTag, "DMC-GX9");
  file.resize(file.size() - 0x4000 + 8184 + 4000);
  const auto r = ConvertFile("c.rw2", file, {"C1,1,1,1"});
  EXPECT_GT(r.Truncated.Missing, 0u) << r.Console;
  EXPECT_EQ(r.Truncated.Total, h);
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
