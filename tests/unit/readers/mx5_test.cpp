// MX5 frames: mosaic cell weights, options that replace them, wrapping of
// weighted samples, and short files.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::misc_raster::AppendLE;
using test::misc_raster::ConvertFile;
using test::misc_raster::FitsImage;
using test::misc_raster::RasterRun;
using test::misc_raster::ReadFitsImage;
using test::ScratchDir;

constexpr int W = 510;
constexpr int H = 290;

// A frame of `count` samples (of 510 x 290) all equal to v.
std::string Frame(uint16_t v, std::size_t count = std::size_t{W} * H) {
  std::string s;
  for (std::size_t i = 0; i < count; ++i) AppendLE(s, v, 2);
  return s;
}

TEST(Mx5Frame, CellWeights) {
  ScratchDir dir;
  RasterRun r = ConvertFile("f.mx5", Frame(1000));
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ccg={{0.299,0.294},{0.294,0.114}}")) << r.Console;
  FitsImage img = ReadFitsImage("f.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, W);
  EXPECT_EQ(img.Height, H);
  EXPECT_EQ(img.Bitpix, 16);
  EXPECT_EQ(img.Top(0, 0), 299);
  EXPECT_EQ(img.Top(0, 1), 294);
  EXPECT_EQ(img.Top(1, 0), 294);
  EXPECT_EQ(img.Top(1, 1), 114);
  EXPECT_EQ(img.Top(H - 1, W - 1), 114);

  // Every sample passes unchanged with unit weights.
  r = ConvertFile("u.mx5", Frame(54321), {"C1,1,1,1"});
  EXPECT_TRUE(r.Has("Ccg={{1.000,1.000},{1.000,1.000}}")) << r.Console;
  img = ReadFitsImage("u.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, std::vector<int64_t>(std::size_t{W} * H, 54321));

  // A weight above 1 wraps: 20000 x 4 = 80000 gives 14464; a negative one
  // gives the two's complement.
  r = ConvertFile("w.mx5", Frame(20000), {"C4,-0.05"});
  img = ReadFitsImage("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Top(0, 0), 14464);
  EXPECT_EQ(img.Top(0, 1), 65536 - 1000);
  EXPECT_EQ(img.Top(1, 1), 2280);
}

TEST(Mx5Frame, ShortFileEndsInZeros) {
  ScratchDir dir;
  // One full row and half a sample more.
  std::string bytes = Frame(1000, W + 1);
  bytes.pop_back();
  const RasterRun r = ConvertFile("s.mx5", bytes, {"C1,1,1,1"});
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_EQ(r.Truncated.Missing, std::size_t{W} * (H - 1)) << r.Console;
  EXPECT_EQ(r.Truncated.Total, std::size_t{W} * H);
  const FitsImage img = ReadFitsImage("s.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Top(0, W - 1), 1000);
  EXPECT_EQ(img.Top(1, 0), 1000 & 0xFF); // the low byte alone
  EXPECT_EQ(img.Top(1, 1), 0);
  EXPECT_EQ(img.Top(H - 1, W - 1), 0);
}

} // namespace
} // namespace korv
