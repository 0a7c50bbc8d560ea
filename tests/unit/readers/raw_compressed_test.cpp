// Compressed camera raw files end to end (NEF Huffman data with its maker
// note, CR2 slices, DNG tiles) and the metadata and camera rules of TIFF-family
// raws, on files written by the test encoders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/tiff/nef_huffman.h"
#include "tests/raw_file_writer.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::ConvertFile;
using test::ReadFitsImage;
using Samples = std::vector<uint16_t>;

std::string HeaderCard(const std::string& fits, const std::string& key) {
  for (std::size_t pos = 0; pos + 80 <= fits.size(); pos += 80) {
    const std::string card = fits.substr(pos, 80);
    if (card.compare(0, key.size(), key) == 0 && (card.size() == key.size() || card[key.size()] == ' ' || card[key.size()] == '='))
      return card;
    if (card.compare(0, 8, "END     ") == 0) break;
  }
  return "";
}

std::vector<int64_t> AsValues(const Samples& s) { return {s.begin(), s.end()}; }

TEST(NefHuffman, ShiftedCodesStandForLargeDifferencesOfBothSigns) {
  // Split 12-bit table: its first code "00" is symbol 0x39 (9 bits of
  // magnitude, shifted by 3: 6 extra bits). Extra bits 000000 stand for
  // -508 (2^9 less than 4), 111111 for +508.
  NefStreamParams p;
  p.Bits = 12;
  p.InitialPredictor = {1000, 1000, 1000, 1000};
  ASSERT_EQ(NefTableSymbols(NefTable::Split12)[0], 0x39);
  // Row 0 with the plain table (differences 0), row 1 with the split one.
  p.SplitRow = 1;
  test::BitWriter bw(false);
  test::HuffCodes plain;
  {
    const auto c = NefTableCounts(NefTable::Lossy12);
    const auto s = NefTableSymbols(NefTable::Lossy12);
    std::copy(c.begin(), c.end(), plain.Counts.begin());
    plain.Symbols.assign(s.begin(), s.end());
    plain.Symbols.resize(14, 0);
    plain.Assign();
  }
  bw.Put(plain.Code[0], plain.Length[0]);  // row 0, columns 0 and 1: difference 0
  bw.Put(plain.Code[0], plain.Length[0]);
  bw.Put(0b00, 2);
  bw.Put(0b000000, 6);  // row 1 column 0: -508
  bw.Put(0b00, 2);
  bw.Put(0b111111, 6);  // row 1 column 1: +508
  bw.Align();
  bw.Bytes().append(8, '\0');
  const std::string& d = bw.Bytes();
  NefHuffmanDecoder dec;
  dec.Start(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(d.data()), d.size()), p);
  Samples row(2);
  dec.DecodeRow(row);
  EXPECT_EQ(row, (Samples{1000, 1000}));
  dec.DecodeRow(row);
  EXPECT_EQ(row, (Samples{492, 1508}));
}

TEST(NefHuffman, PlainTablesRebuildTheMosaicOfEachDepth) {
  for (unsigned bits : {12u, 14u}) {
    for (bool lossless : {false, true}) {
      SCOPED_TRACE(std::to_string(bits) + (lossless ? " lossless" : " lossy"));
      test::NefOptions o;
      o.Bits = bits;
      o.Lossless = lossless;
      o.Vini = {100, 200, 300, 400};
      const Samples raw = test::MakeMosaic(37, 9, bits, bits + lossless);
      Samples coded;
      const std::string d = test::EncodeNefData(raw, 37, 9, o, coded);
      NefStreamParams p;
      p.Bits = bits;
      p.Lossless = lossless;
      p.InitialPredictor = o.Vini;
      NefHuffmanDecoder dec;
      dec.Start(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(d.data()), d.size()), p);
      Samples all, row(37);
      for (int r = 0; r < 9; ++r) {
        dec.DecodeRow(row);
        all.insert(all.end(), row.begin(), row.end());
      }
      EXPECT_EQ(all, raw);
      EXPECT_FALSE(dec.RanOut());
      // Cut data: the rows past the end are noted.
      NefHuffmanDecoder cut;
      cut.Start(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(d.data()), d.size() / 3), p);
      for (int r = 0; r < 9; ++r) cut.DecodeRow(row);
      EXPECT_TRUE(cut.RanOut());
      EXPECT_LT(cut.FirstShortRow(), 6u);
    }
  }
}

class RawFiles : public ::testing::Test {
protected:
  test::ScratchDir dir;
};

TEST_F(RawFiles, NefMetadataReachTheHeaderAndTheMosaicIsExact) {
  test::NefOptions o;
  o.Bits = 14;
  o.Lossless = true;
  o.Vini = {0x800, 0x800, 0x800, 0x800};
  const Samples raw = test::MakeMosaic(24, 10, 14, 5);
  Samples coded;
  const auto r = ConvertFile("a.nef", test::WriteNef(raw, 24, 10, o, coded), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(r.Console.find("Flux NEF"), std::string::npos);
  EXPECT_NE(r.Console.find("MNT trouv\u00e9 en "), std::string::npos);
  const auto img = ReadFitsImage("a.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.TopDown(), AsValues(raw));
  const std::string fits = test::ReadFile("a.fit");
  EXPECT_NE(HeaderCard(fits, "DATE-OBS").find("2024-03-05T21:14:33"), std::string::npos)
      << HeaderCard(fits, "DATE-OBS");
  EXPECT_NE(HeaderCard(fits, "EXPTIME").find("0.004"), std::string::npos) << HeaderCard(fits, "EXPTIME");
  EXPECT_NE(HeaderCard(fits, "DETECISO").find("400"), std::string::npos);
}

TEST_F(RawFiles, NefCurvesAndTheirFaults) {
  const Samples raw = test::MakeMosaic(16, 6, 10, 8);
  struct Case {
    const char* name;
    std::vector<uint16_t> points;
    bool invalid;
  } cases[] = {
      {"straight", {0, 2000, 4095}, false},
      {"decreasing", {0, 3000, 2000}, true},
      {"one point", {77}, false},
      {"no point", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::NefOptions o;
    o.Bits = 12;
    o.Vini = {512, 512, 512, 512};
    o.CurvePoints = c.points;
    Samples coded;
    const auto r = ConvertFile("c.nef", test::WriteNef(raw, 16, 6, o, coded), {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_EQ(r.Console.find(" invalide") != std::string::npos, c.invalid);
    const auto img = ReadFitsImage("c.fit");
    ASSERT_TRUE(img.Valid);
    std::vector<int64_t> want = AsValues(raw);
    if (c.points.size() == 3 && !c.invalid) {
      // Points every 2048 values, straight lines between.
      for (auto& v : want) v = v < 2048 ? v * 2000 / 2048 : 2000 + (v - 2048) * 2095 / 2048;
    }
    EXPECT_EQ(img.TopDown(), want);
    std::filesystem::remove("c.fit");
  }
}

TEST_F(RawFiles, NikonD100WithoutImageNumberConvertsDirectoryTwo) {
  test::NefOptions o;
  o.Model = "NIKON D100";
  o.Vini = {512, 512, 512, 512};
  Samples coded;
  const auto r = ConvertFile("d.nef", test::WriteNef(test::MakeMosaic(24, 10, 10, 1), 24, 10, o, coded));
  ASSERT_EQ(r.Status, 0) << r.Console;
  const auto img = ReadFitsImage("d.fit");
  EXPECT_EQ(img.Width, 4);  // the first sub-directory, a 4 x 4 preview
  EXPECT_EQ(img.Height, 4);
}

// A CR2: four directories, the fourth the raw image with its slice layout;
// the stream holds slice after slice, each for every row.
std::string WriteCr2(const Samples& image, unsigned w, unsigned h, std::array<uint16_t, 3> slices,
                     const std::string& model) {
  // Cut the image into the slices, in stream order.
  Samples stream;
  const unsigned n = slices[0], sw = slices[1], last = slices[2];
  for (unsigned k = 0; k <= n; ++k) {
    const unsigned width = k < n ? sw : last;
    for (unsigned r = 0; r < h; ++r)
      for (unsigned i = 0; i < width; ++i) stream.push_back(image[r * w + k * sw + i]);
  }
  test::LjpegEncodeOptions jo;
  jo.Precision = 14;
  jo.TableOfComponent = {0, 1, 0, 0};
  const std::string jpeg = test::EncodeLosslessJpeg(stream, h, w / 2, 2, jo);
  const bool big = false;
  test::IfdBuilder d0(big), d1(big), d2(big), d3(big);
  // The raw directory has no size tags: the directories before it give them.
  for (auto* d : {&d0, &d1, &d2}) {
    d->Long(256, {w});
    d->Long(257, {h});
    d->Short(258, {8});
    d->Short(259, {1});
    d->Short(262, {1});
    d->Long(273, {8});
    d->Long(278, {4});
    d->Long(279, {16});
  }
  d0.Ascii(271, "Canon");
  d0.Ascii(272, model);
  d3.Short(259, {6});
  d3.Long(273, {0});
  d3.Long(279, {static_cast<uint32_t>(jpeg.size())});
  d3.Short(50752, {slices[0], slices[1], slices[2]});
  std::string file = "II";
  file += d0.Bytes(42, 2) + d0.Bytes(16, 4) + "CR" + std::string("\x02\0", 2) + std::string(4, '\0');
  std::map<uint16_t, uint32_t> f[4];
  std::vector<uint32_t> at(4);
  std::string dirs;
  // Directories one after the other; each points at the next.
  uint32_t pos = 16;
  std::vector<std::string> built;
  test::IfdBuilder* all[4] = {&d0, &d1, &d2, &d3};
  for (int i = 0; i < 4; ++i) {
    at[i] = pos;
    std::map<uint16_t, uint32_t> tmp;
    const std::string probe = all[i]->Build(pos, 0, tmp);
    pos += static_cast<uint32_t>(probe.size());
  }
  for (int i = 0; i < 4; ++i) file += all[i]->Build(at[i], i < 3 ? at[i + 1] : 0, f[i]);
  const uint32_t data = static_cast<uint32_t>(file.size());
  file += jpeg;
  test::PatchLong(file, f[3][273], data, big);
  return file;
}

TEST_F(RawFiles, Cr2SlicesAreReassembledInBothLayouts) {
  for (auto slices : {std::array<uint16_t, 3>{2, 8, 12}, std::array<uint16_t, 3>{2, 10, 10}}) {
    SCOPED_TRACE(std::to_string(slices[1]) + "/" + std::to_string(slices[2]));
    const unsigned w = 2u * slices[1] + slices[2], h = 22;
    const Samples image = test::MakeMosaic(w, h, 14, slices[1]);
    const auto r = ConvertFile("s.cr2", WriteCr2(image, w, h, slices, "Canon EOS 5D Mark II"), {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    const auto img = ReadFitsImage("s.fit");
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(img.Width, static_cast<long>(w));
    EXPECT_EQ(img.TopDown(), AsValues(image));
    std::filesystem::remove("s.fit");
  }
  // The large-frame model decodes the same way and keeps its input.
  const Samples image = test::MakeMosaic(28, 22, 14, 3);
  const auto r = ConvertFile("l.cr2", WriteCr2(image, 28, 22, {2, 8, 12}, "Canon EOS 5DS R"),
                             {"C1,1,1,1", "EFFACE"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("l.fit").TopDown(), AsValues(image));
  EXPECT_TRUE(std::filesystem::exists("l.cr2"));
}

TEST_F(RawFiles, TiledDngAndTruncatedData) {
  test::DngOptions o;
  o.Bits = 12;
  o.TileWidth = 32;
  o.TileHeight = 16;
  const Samples raw = test::MakeMosaic(70, 40, 12, 9);
  const std::string file = test::WriteDng(raw, 70, 40, o);
  auto r = ConvertFile("t.dng", file, {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("t.fit").TopDown(), AsValues(raw));
  // Tiles stored last first: the data start at the lowest offset, not the first tile's.
  o.TileWidth = o.TileHeight = 16;
  o.ReverseTiles = true;
  const Samples many = test::MakeMosaic(128, 64, 12, 4);
  r = ConvertFile("v.dng", test::WriteDng(many, 128, 64, o), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("v.fit").TopDown(), AsValues(many));
  // The last tiles cut off: converted, the missing samples counted.
  r = ConvertFile("u.dng", file.substr(0, file.size() - 900), {"C1,1,1,1"});
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_GT(r.Truncated.Missing, 0u);
  EXPECT_LT(r.Truncated.Missing, 70u * 40u / 2);
}

TEST_F(RawFiles, MonochromeLeicaIsNoMosaic) {
  // A monochrome camera's raw image is tagged as a mosaic: it must come out as
  // its values, not through colour-cell factors (a black mosaic).
  test::DngOptions o;
  o.Bits = 14;
  const Samples raw = test::MakeMosaic(20, 8, 14, 2);
  o.Make = "Leica Camera AG";
  o.Model = "LEICA M MONOCHROM (Typ 246)";
  const auto r = ConvertFile("m.dng", test::WriteDng(raw, 20, 8, o));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("m.fit").TopDown(), AsValues(raw));
}

TEST_F(RawFiles, DateOfTheFirstDirectoryWinsUnlessItIsZeros) {
  test::NefOptions o;
  o.Vini = {512, 512, 512, 512};
  Samples coded;
  std::string file = test::WriteNef(test::MakeMosaic(8, 4, 10, 1), 8, 4, o, coded);
  // IFD0 DateTime and EXIF DateTimeOriginal are the same text: make them differ.
  const std::size_t first = file.find("2024:03:05 21:14:33");
  const std::size_t second = file.find("2024:03:05 21:14:33", first + 1);
  ASSERT_NE(second, std::string::npos);
  file.replace(second, 19, "2023:11:20 01:02:03");
  auto r = ConvertFile("e.nef", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(HeaderCard(test::ReadFile("e.fit"), "DATE-OBS").find("2024-03-05T21:14:33"), std::string::npos);
  file.replace(first, 19, "0000:00:00 00:00:00");
  r = ConvertFile("f.nef", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(HeaderCard(test::ReadFile("f.fit"), "DATE-OBS").find("2023-11-20T01:02:03"), std::string::npos)
      << HeaderCard(test::ReadFile("f.fit"), "DATE-OBS");
}

} // namespace
} // namespace korv
