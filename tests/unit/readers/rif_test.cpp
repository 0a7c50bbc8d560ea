// RIF files: the six records listed, short files, and the stop that follows.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::misc_raster::AppendLE;
using test::misc_raster::ConvertFile;
using test::misc_raster::RasterRun;
using test::ScratchDir;
using namespace std::string_literals;

TEST(RifList, SixRecordsThenStop) {
  ScratchDir dir;
  std::string bytes = "RIFF";
  AppendLE(bytes, 1000, 4); // E8 03 00 00
  bytes += "CHNK";
  AppendLE(bytes, 0xFFFFFFFE, 4);
  bytes += "ab\x82z"s;
  AppendLE(bytes, 0x41424344, 4);
  bytes += std::string(40, 'x');
  const RasterRun r = ConvertFile("a.rif", bytes);
  // Control bytes are shown as '.', the others as code page 850 characters.
  const std::string expected = "Tfi=91\nRIFF \u00de... 1000\nCHNK \u25a0\u00a0\u00a0\u00a0 -2\n"
                               "ab\u00e9z DCBA 1094861636\nxxxx xxxx 2021161080\n"
                               "xxxx xxxx 2021161080\nxxxx xxxx 2021161080\n"
                               "Pas d'image d\u00e9cod\u00e9e dans un fichier RIF\n";
  EXPECT_NE(r.Console.find(expected), std::string::npos) << r.Console;
  EXPECT_EQ(r.Status, 1);
  EXPECT_FALSE(std::filesystem::exists("a.fit"));
}

TEST(RifList, ShortFileStillListsSixRecords) {
  ScratchDir dir;
  const RasterRun r = ConvertFile("s.rif", "RIFF\x10\x00"s);
  const std::string expected =
      "RIFF .... 16\n.... .... 0\n.... .... 0\n.... .... 0\n.... .... 0\n.... .... 0\n"
      "Pas d'image";
  EXPECT_NE(r.Console.find(expected), std::string::npos) << r.Console;
  EXPECT_EQ(r.Status, 1);
}

TEST(RifList, KnownSizeGivesAnImageOfZeros) {
  ScratchDir dir;
  // Nothing on the command line or in the file sets the size; a caller that
  // has set it gets an image of zeros after the list.
  test::WriteFile("k.rif", "RIFF");
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", "k.rif"}, out);
  cv->State.ImageWidth = 3;
  cv->State.ImageHeight = 2;
  EXPECT_EQ(RunConversion(*cv), 0) << out.str();
  const test::misc_raster::FitsImage img = test::misc_raster::ReadFitsImage("k.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>(6, 0)));
}

} // namespace
} // namespace korv
