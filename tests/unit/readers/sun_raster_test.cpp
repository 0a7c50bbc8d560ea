// Sun raster reader through whole runs: colour maps, padded rows, the channel
// order of both 24-bit types, refused files, and the names it is found under.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/readers/raster_test_support.h"

namespace korv {
namespace {

using test::ConvertBytes;
using test::PutBE32;
using test::ReadPicture;
using test::ScratchDir;

std::string MakeRas(uint32_t width, uint32_t height, uint32_t depth, uint32_t type,
                    const std::string& map, const std::string& data, uint32_t magic = 0x59A66A95) {
  std::string s;
  PutBE32(s, magic);
  PutBE32(s, width);
  PutBE32(s, height);
  PutBE32(s, depth);
  PutBE32(s, static_cast<uint32_t>(data.size()));
  PutBE32(s, type);
  PutBE32(s, map.empty() ? 0 : 1);
  PutBE32(s, static_cast<uint32_t>(map.size()));
  return s + map + data;
}

TEST(SunRaster, EightBitsWithAndWithoutMap) {
  ScratchDir dir;
  // Width 5: rows of 6 bytes, the pad byte skipped.
  const std::string data = std::string("\x01\x02\x03\x04\x05\xEE" "\x06\x07\x08\x09\x0A\xEE", 12);
  test::RasterRun r = ConvertBytes("g.ras", MakeRas(5, 2, 8, 1, "", data));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Typ=1") && r.Has("Nbp=8") && r.Has("Tpa=0")) << r.Console;
  EXPECT_EQ(ReadPicture("g.fit").Values, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // A 768-byte map: planes of red, green, blue; entry i is (255 - i, 0, 0).
  std::string map(768, '\0');
  for (unsigned i = 0; i < 256; ++i) map[i] = static_cast<char>(255 - i);
  r = ConvertBytes("m.ras", MakeRas(5, 2, 8, 1, map, data));
  ASSERT_EQ(r.Status, 0) << r.Console;
  // (254, 0, 0) x 0.299 = 75.946.
  EXPECT_EQ(ReadPicture("m.fit").At(0, 0), 76);
  EXPECT_EQ(ReadPicture("m.fit").At(4, 1), 73);
}

TEST(SunRaster, TwentyFourBitChannelOrder) {
  ScratchDir dir;
  const std::string pixel = std::string("\xFF\x00\x00\x00", 4); // one pixel and its pad byte
  // The standard type stores blue, green, red; the RGB type red, green, blue.
  ASSERT_EQ(ConvertBytes("s.ras", MakeRas(1, 1, 24, 1, "", pixel)).Status, 0);
  EXPECT_EQ(ReadPicture("s.fit").Values, (std::vector<int64_t>{29}));
  ASSERT_EQ(ConvertBytes("rgb.ras", MakeRas(1, 1, 24, 3, "", pixel)).Status, 0);
  EXPECT_EQ(ReadPicture("rgb.fit").Values, (std::vector<int64_t>{76}));
}

TEST(SunRaster, RefusedFiles) {
  ScratchDir dir;
  const std::string data(8, '\x01');
  test::RasterRun r = ConvertBytes("rle.ras", MakeRas(2, 2, 8, 2, "", data));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Typ=2") && r.Has("Nbp=8") && r.Has("Tpa=0")) << r.Console;
  EXPECT_TRUE(r.Has("Compression pas support\u00e9e")) << r.Console;
  r = ConvertBytes("one.ras", MakeRas(16, 1, 1, 1, "", data));
  EXPECT_TRUE(r.Has("Profondeur pas support\u00e9e : 1 bits par pixel")) << r.Console;
  r = ConvertBytes("magic.ras", MakeRas(2, 2, 8, 1, "", data, 0x12345678));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Pas du Sun raster !")) << r.Console;
}

TEST(SunRaster, CommonNamesAreFound) {
  ScratchDir dir;
  const std::string file = MakeRas(2, 1, 8, 1, "", std::string("\x03\x04", 2));
  for (const std::string ext : {"im1", "im8", "im24", "im32", "rs", "RAS"}) {
    SCOPED_TRACE(ext);
    const test::RasterRun r = ConvertBytes("pic." + ext, file);
    EXPECT_EQ(r.Status, 0) << r.Console;
    EXPECT_TRUE(r.Has("Tfi=22")) << r.Console;
    std::filesystem::remove("pic.fit");
  }
  // A name without extension still finds a .gif before a .ras (probe order).
  test::WriteFile("both.ras", file);
  test::WriteFile("both.gif", "GIF89a");
  std::ostringstream out;
  EXPECT_EQ(korv::Run({"korvalix", "both"}, out), 1);
  EXPECT_NE(out.str().find("Tfi=10\n"), std::string::npos) << out.str();
}

} // namespace
} // namespace korv
