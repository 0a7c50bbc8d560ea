// The row pipeline end to end on small images: rows handed to WriteOutputRow in
// the orders readers use, the file read back after its header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "driver/run.h"
#include "output/row_pipeline.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using Image = std::vector<std::vector<uint16_t>>; // [row from the top][column]

class RowPipelineTest : public ::testing::Test {
protected:
  test::ScratchDir dir;
  std::ostringstream console;
  std::unique_ptr<Conversion> cv = test::MakeConversion({"korvalix", "in.pgm"}, console);
  ImageState& s = cv->State;

  void SetUp() override {
    s.InputFilePath = "in.pgm";
    s.FullOutput = 1;
  }

  void Geometry(uint16_t width, uint16_t height) {
    s.ImageWidth = width;
    s.ImageHeight = height;
  }

  // Hands the rows over in the given order of row indices.
  void Deliver(const Image& image, const std::vector<uint16_t>& order) {
    PrepareOutput(*cv);
    PrepareOutput(*cv);
    for (const uint16_t r : order) {
      const auto& src = image.at(std::min<std::size_t>(r, image.size() - 1));
      std::copy(src.begin(), src.end(), cv->RowBuffer.begin());
      WriteOutputRow(*cv, r);
    }
  }
  void DeliverTopFirst(const Image& image) {
    std::vector<uint16_t> order(image.size());
    std::iota(order.begin(), order.end(), uint16_t{0});
    Deliver(image, order);
  }
  void DeliverBottomFirst(const Image& image) {
    std::vector<uint16_t> order(image.size());
    std::iota(order.rbegin(), order.rend(), uint16_t{0});
    Deliver(image, order);
  }

  // The one output file and its extension.
  std::filesystem::path Output() {
    std::vector<std::filesystem::path> found;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
      if (e.path().filename() != "in.pgm") found.push_back(e.path());
    EXPECT_EQ(found.size(), 1u) << "exactly one output file, no leftover temporary file";
    return found.empty() ? std::filesystem::path() : found.front();
  }
  std::string Data() {
    const std::string all = test::ReadFile(Output());
    EXPECT_EQ(all.size() % 2880, 0u);
    EXPECT_GE(all.size(), s.HeaderBytes);
    return all.substr(std::min<std::size_t>(s.HeaderBytes, all.size()));
  }
  int Bitpix() {
    const std::string all = test::ReadFile(Output());
    const std::size_t at = all.find("BITPIX  =");
    return at == std::string::npos ? 0 : std::stoi(all.substr(at + 9, 21));
  }
  // Plain rows in file order (bottom row of the picture first).
  Image Rows16(std::size_t width, std::size_t height) {
    const std::string d = Data();
    Image rows(height, std::vector<uint16_t>(width));
    for (std::size_t y = 0; y < height; ++y)
      for (std::size_t x = 0; x < width; ++x) {
        const std::size_t at = 2 * (y * width + x);
        if (at + 1 >= d.size()) return rows;
        const unsigned hi = static_cast<uint8_t>(d[at]) ^ 0x80u;
        rows[y][x] = static_cast<uint16_t>(hi << 8 | static_cast<uint8_t>(d[at + 1]));
      }
    return rows;
  }
};

Image Ramp(std::size_t width, std::size_t height, unsigned step = 100) {
  Image image(height, std::vector<uint16_t>(width));
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < width; ++x)
      image[y][x] = static_cast<uint16_t>(1000 + y * step + x);
  return image;
}

Image Reversed(Image image) {
  std::reverse(image.begin(), image.end());
  return image;
}

TEST_F(RowPipelineTest, IdentityBinningStoresTheBottomRowFirst) {
  const Image image = Ramp(5, 4);
  Geometry(5, 4);
  DeliverTopFirst(image);
  EXPECT_EQ(s.OutWidth, 5);
  EXPECT_EQ(s.OutHeight, 4);
  EXPECT_EQ(s.RowsReversed, 1);
  EXPECT_EQ(s.OutputCompleted, 1);
  EXPECT_EQ(Output().extension(), ".fit");
  EXPECT_EQ(Bitpix(), 16);
  EXPECT_EQ(Rows16(5, 4), Reversed(image));
  EXPECT_EQ(Data().size(), 2880u);
}

TEST_F(RowPipelineTest, BottomFirstRowsAreWrittenInSequence) {
  const Image image = Ramp(3, 5);
  Geometry(3, 5);
  DeliverBottomFirst(image);
  EXPECT_EQ(s.RowsReversed, 0);
  EXPECT_EQ(Rows16(3, 5), Reversed(image));
}

TEST_F(RowPipelineTest, FlipTurnsTopFirstRowsIntoSequentialOnes) {
  const Image image = Ramp(3, 4);
  Geometry(3, 4);
  s.FlipY = 1;
  DeliverTopFirst(image);
  EXPECT_EQ(s.RowsReversed, 0);
  EXPECT_EQ(Rows16(3, 4), image);
}

TEST_F(RowPipelineTest, OddHeightWithVerticalBinningDropsTheLastRowAndFinishes) {
  const Image image = Ramp(2, 7);
  Geometry(2, 7);
  s.BinY = 2;
  DeliverTopFirst(image);
  EXPECT_EQ(s.OutHeight, 3);
  EXPECT_EQ(s.RowsReceived, 7);
  EXPECT_EQ(s.OutputCompleted, 1) << "the seventh call must finish the file";
  // Output rows from the top: rows 0+1, 2+3, 4+5; row 6 is dropped.
  Image want(3, std::vector<uint16_t>(2));
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 2; ++c)
      want[r][c] = static_cast<uint16_t>(image[4 - 2 * r][c] + image[5 - 2 * r][c]);
  EXPECT_EQ(Rows16(2, 3), want);
}

TEST_F(RowPipelineTest, MirrorBeforeHorizontalBinningDropsTheLeftmostColumn) {
  Image image = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
  Geometry(10, 1);
  s.BinX = 3;
  s.MirrorX = 1;
  DeliverTopFirst(image);
  EXPECT_EQ(s.OutWidth, 3);
  EXPECT_EQ(Rows16(3, 1), (Image{{24, 15, 6}}));
}

TEST_F(RowPipelineTest, BinnedSumsWrapModulo65536) {
  const Image image(2, std::vector<uint16_t>(2, 20000));
  Geometry(2, 2);
  s.BinX = 2;
  s.BinY = 2;
  DeliverTopFirst(image);
  EXPECT_EQ(Rows16(1, 1), (Image{{14464}}));
}

TEST_F(RowPipelineTest, ParityBlankingFollowsTheGivenIndex) {
  const Image image = Ramp(2, 4);
  Geometry(2, 4);
  s.RowParityKeep = {1, 0};
  s.FlipY = 1; // the parity is taken before the flip
  DeliverTopFirst(image);
  EXPECT_EQ(Rows16(2, 4), (Image{image[0], {0, 0}, image[2], {0, 0}}));
}

TEST_F(RowPipelineTest, EightBitInputGivesByteSamples) {
  Image image = {{0, 17, 255}, {3, 4, 5}};
  Geometry(3, 2);
  s.InputMin = 0;
  s.InputMax = 255;
  DeliverTopFirst(image);
  EXPECT_EQ(Bitpix(), 8);
  EXPECT_EQ(Data().substr(0, 6), std::string("\x03\x04\x05\x00\x11\xff", 6));
}

TEST_F(RowPipelineTest, BinnedEightBitInputKeepsSixteenBits) {
  // Four samples of 255 sum to 1020: a byte would keep only 252.
  const Image image(2, std::vector<uint16_t>(2, 255));
  Geometry(2, 2);
  s.InputMax = 255;
  s.BinX = 2;
  s.BinY = 2;
  DeliverTopFirst(image);
  EXPECT_EQ(Bitpix(), 16);
  EXPECT_EQ(Rows16(1, 1), (Image{{1020}}));
}

TEST_F(RowPipelineTest, ExplicitSampleTypes) {
  const Image image = {{1, 65535}};
  Geometry(2, 1);
  s.OutputBitpix = 224;
  DeliverTopFirst(image);
  EXPECT_EQ(Bitpix(), -32);
  EXPECT_EQ(Data().substr(0, 8), std::string("\x3f\x80\x00\x00\x47\x7f\xff\x00", 8));
}

TEST_F(RowPipelineTest, RowIndicesOutsideTheImageAreNotWritten) {
  const Image image = Ramp(3, 3);
  Geometry(3, 3);
  Deliver(image, {0, 40000, 2});
  EXPECT_EQ(s.OutputCompleted, 1);
  // The row never delivered reads back as 0, as a zero-filled data area would.
  EXPECT_EQ(Rows16(3, 3), (Image{image[2], {0, 0, 0}, image[0]}));
  EXPECT_EQ(Data().size(), 2880u);
}

TEST_F(RowPipelineTest, CallsAfterTheLastRowAreIgnored) {
  const Image image = Ramp(2, 2);
  Geometry(2, 2);
  DeliverBottomFirst(image);
  const std::string before = test::ReadFile(Output());
  Deliver(image, {0, 1});
  EXPECT_EQ(test::ReadFile(Output()), before);
}

TEST_F(RowPipelineTest, WideImagesSpanManyGatheredStretches) {
  // 30000 x 40 samples of 16 bits: 2.4 MB of rows, written in several stretches.
  const Image image = Ramp(30000, 40, 7);
  for (const bool topFirst : {true, false}) {
    SCOPED_TRACE(topFirst ? "top first" : "bottom first");
    test::ScratchDir sub;
    cv = test::MakeConversion({"korvalix", "in.pgm"}, console);
    ImageState& st = cv->State;
    st.InputFilePath = "in.pgm";
    st.ImageWidth = 30000;
    st.ImageHeight = 40;
    std::vector<uint16_t> order(40);
    std::iota(order.begin(), order.end(), uint16_t{0});
    if (!topFirst) std::reverse(order.begin(), order.end());
    PrepareOutput(*cv);
    for (const uint16_t r : order) {
      std::copy(image[r].begin(), image[r].end(), cv->RowBuffer.begin());
      WriteOutputRow(*cv, r);
    }
    ASSERT_EQ(st.OutputCompleted, 1);
    const std::string all = test::ReadFile(sub.Path() / "in.fit");
    ASSERT_EQ(all.size(), st.HeaderBytes + (2400000 + 2879) / 2880 * 2880);
    for (std::size_t y = 0; y < 40; ++y)
      for (std::size_t x : {std::size_t{0}, std::size_t{12345}, std::size_t{29999}}) {
        const std::size_t at = st.HeaderBytes + 2 * (y * 30000 + x);
        const unsigned hi = static_cast<uint8_t>(all[at]) ^ 0x80u;
        const unsigned v = hi << 8 | static_cast<uint8_t>(all[at + 1]);
        ASSERT_EQ(v, image[39 - y][x]) << "file row " << y << ", column " << x;
      }
  }
}

// Decoders of the two row codes, enough to read the files back.
Image DecodePrevPixelRows(const std::string& d, std::size_t width, std::size_t height) {
  Image rows(height, std::vector<uint16_t>(width));
  std::size_t at = 0;
  auto next = [&]() -> uint8_t { return at < d.size() ? static_cast<uint8_t>(d[at++]) : 0; };
  for (auto& row : rows) {
    uint16_t p = 0;
    for (auto& v : row) {
      const uint8_t b = next();
      if (b == 255) {
        const uint8_t hi = next();
        p = static_cast<uint16_t>(hi << 8 | next());
      } else {
        p = static_cast<uint16_t>(p + b - 127);
      }
      v = p;
    }
  }
  return rows;
}

TEST_F(RowPipelineTest, CompressedRowsArrivingTopFirstAreStoredBottomFirst) {
  const Image image = Ramp(40, 6, 300);
  Geometry(40, 6);
  s.CompressPrevPixel = 1;
  DeliverTopFirst(image);
  EXPECT_EQ(Output().extension(), ".fip");
  EXPECT_EQ(DecodePrevPixelRows(Data(), 40, 6), Reversed(image));
}

TEST_F(RowPipelineTest, BinnedCompressedRowsArrivingTopFirst) {
  const Image image = Ramp(4, 5, 300);
  Geometry(4, 5);
  s.CompressPrevPixel = 1;
  s.BinX = 2;
  s.BinY = 2;
  DeliverTopFirst(image);
  Image want(2, std::vector<uint16_t>(2));
  for (std::size_t r = 0; r < 2; ++r)
    for (std::size_t c = 0; c < 2; ++c) {
      const std::size_t top = 2 - 2 * r; // file row 0 holds input rows 2 and 3
      want[r][c] = static_cast<uint16_t>(image[top][2 * c] + image[top][2 * c + 1] +
                                         image[top + 1][2 * c] + image[top + 1][2 * c + 1]);
    }
  EXPECT_EQ(DecodePrevPixelRows(Data(), 2, 2), want);
}

TEST_F(RowPipelineTest, CompressedRowsArrivingBottomFirstKeepTheirOrder) {
  const Image image = Ramp(9, 3, 300);
  Geometry(9, 3);
  s.CompressPrevPixel = 1;
  DeliverBottomFirst(image);
  EXPECT_EQ(s.RowsReversed, 0);
  EXPECT_EQ(DecodePrevPixelRows(Data(), 9, 3), Reversed(image));
}

TEST_F(RowPipelineTest, ProfVarRowsTopFirstCarryPredictorsInFileOrder) {
  // Flat rows 3,3,3,3 from the top: the bottom row is encoded first, from zero
  // predictors, and the next ones see a difference of 0 in every column.
  const Image image = {{3, 3, 3, 3}, {3, 3, 3, 3}};
  Geometry(4, 2);
  s.CompressProfVar = 1;
  DeliverTopFirst(image);
  EXPECT_EQ(Output().extension(), ".fiv");
  std::string first = {'\x80', 4, 0, 0, 1, 3, 1, 3};
  for (int k = 3; k < 16; ++k) first += std::string("\x80\x04\x00\x00", 4);
  std::string second;
  for (int k = 0; k < 16; ++k) second += std::string("\x80\x04\x00\x00", 4);
  EXPECT_EQ(Data().substr(0, first.size() + second.size()), first + second);
}

TEST_F(RowPipelineTest, PrevPixelWithByteSamplesFallsBack) {
  const Image image = {{1, 2}};
  {
    Geometry(2, 1);
    s.InputMax = 255;
    s.CompressPrevPixel = 1;
    s.CompressProfVar = 1;
    DeliverTopFirst(image);
    EXPECT_EQ(Output().extension(), ".fiv");
    EXPECT_EQ(s.CompressPrevPixel, 0);
    EXPECT_EQ(Bitpix(), 8);
  }
}

TEST_F(RowPipelineTest, PrevPixelWithByteSamplesAloneGivesPlainFits) {
  const Image image = {{1, 2}};
  Geometry(2, 1);
  s.InputMax = 255;
  s.CompressPrevPixel = 1;
  DeliverTopFirst(image);
  EXPECT_EQ(Output().extension(), ".fit");
  EXPECT_EQ(s.CompressPrevPixel, 0);
  EXPECT_EQ(s.CompressProfVar, 0);
  EXPECT_EQ(Data().substr(0, 2), std::string("\x01\x02", 2));
}

TEST_F(RowPipelineTest, SingleZeroBinningFactorTakesTheOther) {
  const Image image(2, std::vector<uint16_t>(2, 10));
  Geometry(2, 2);
  s.BinX = 2;
  s.BinY = 0;
  DeliverTopFirst(image);
  EXPECT_EQ(s.OutWidth, 1);
  EXPECT_EQ(s.OutHeight, 1);
  EXPECT_EQ(Rows16(1, 1), (Image{{40}}));
}

TEST_F(RowPipelineTest, RowsWiderThanTheRowBlocksAreRefused) {
  Geometry(MaxRowSamples + 1, 2);
  EXPECT_THROW(PrepareOutput(*cv), StopRun);
  EXPECT_NE(console.str().find("30000"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(RowPipelineTest, ZeroBinningFactorsWriteNothing) {
  Geometry(2, 2);
  s.BinX = 0;
  s.BinY = 0;
  DeliverTopFirst(Ramp(2, 2));
  EXPECT_EQ(s.OutputCompleted, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

} // namespace
} // namespace korv
