// BMP reader through whole runs: palettes, every depth, bit fields, row
// strides and order, OS/2 headers, and the files it refuses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/readers/raster_test_support.h"

namespace korv {
namespace {

using test::ConvertBytes;
using test::Picture;
using test::PutLE16;
using test::PutLE32;
using test::ReadPicture;
using test::ScratchDir;

struct BmpSpec {
  int32_t Width = 2;
  int32_t Height = 2;
  uint16_t Bits = 24;
  uint32_t Compression = 0;
  std::vector<uint32_t> Masks;        // written after a 40-byte header
  std::string Palette;                // four bytes an entry
  std::vector<std::string> FileRows;  // in file order, unpadded
  bool Core = false;                  // 12-byte OS/2 header, three-byte palette entries
};

std::string MakeBmp(const BmpSpec& b) {
  const uint32_t infoSize = b.Core ? 12 : 40;
  const uint32_t offset =
      14 + infoSize + 4 * static_cast<uint32_t>(b.Masks.size()) + static_cast<uint32_t>(b.Palette.size());
  std::string s = "BM";
  PutLE32(s, 0);
  PutLE32(s, 0);
  PutLE32(s, offset);
  PutLE32(s, infoSize);
  if (b.Core) {
    PutLE16(s, static_cast<unsigned>(b.Width));
    PutLE16(s, static_cast<unsigned>(b.Height));
    PutLE16(s, 1);
    PutLE16(s, b.Bits);
  } else {
    PutLE32(s, static_cast<uint32_t>(b.Width));
    PutLE32(s, static_cast<uint32_t>(b.Height));
    PutLE16(s, 1);
    PutLE16(s, b.Bits);
    PutLE32(s, b.Compression);
    PutLE32(s, 0);
    PutLE32(s, 2835);
    PutLE32(s, 2835);
    PutLE32(s, 0); // colours used: the depth's full palette
    PutLE32(s, 0);
  }
  for (uint32_t m : b.Masks) PutLE32(s, m);
  s += b.Palette;
  const std::size_t stride = (static_cast<std::size_t>(b.Width) * b.Bits + 31) / 32 * 4;
  for (std::string row : b.FileRows) {
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

std::string GreyPalette(unsigned entries, unsigned bytes = 4) {
  std::string p;
  for (unsigned i = 0; i < entries; ++i) p += std::string(3, static_cast<char>(255 - i)) + std::string(bytes - 3, '\0');
  return p;
}

std::string Words(std::initializer_list<unsigned> ws) {
  std::string s;
  for (unsigned w : ws) PutLE16(s, w);
  return s;
}

TEST(BmpPalette, EightBitGreyPaletteAndRowOrder) {
  ScratchDir dir;
  BmpSpec b;
  b.Bits = 8;
  b.Palette = GreyPalette(256);
  b.FileRows = {std::string("\x00\x01", 2), std::string("\x02\x03", 2)};
  const test::RasterRun r = ConvertBytes("p.bmp", MakeBmp(b));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ncp=256 gris")) << r.Console;
  EXPECT_FALSE(r.Has("rvba={0.299,0.587,0.114,0.000}")) << r.Console;
  const Picture p = ReadPicture("p.fit");
  // The last row of the file is the top of the picture.
  EXPECT_EQ(p.Values, (std::vector<int64_t>{253, 252, 255, 254}));

  // A negative height: rows stored top-down.
  b.Height = -2;
  ASSERT_EQ(ConvertBytes("t.bmp", MakeBmp(b)).Status, 0);
  EXPECT_EQ(ReadPicture("t.fit").Values, (std::vector<int64_t>{255, 254, 253, 252}));
}

TEST(BmpPalette, OneAndFourBits) {
  ScratchDir dir;
  // 1 bit gives the bit itself whatever the palette; width 1 still pads to 4 bytes.
  BmpSpec one;
  one.Width = 1;
  one.Bits = 1;
  one.Palette = GreyPalette(2);
  one.FileRows = {"\x80", "\x00"};
  ASSERT_EQ(ConvertBytes("one.bmp", MakeBmp(one)).Status, 0);
  EXPECT_EQ(ReadPicture("one.fit").Values, (std::vector<int64_t>{0, 1}));

  BmpSpec four;
  four.Width = 3;
  four.Height = 1;
  four.Bits = 4;
  four.Palette = GreyPalette(16);
  four.FileRows = {"\x12\x30"};
  ASSERT_EQ(ConvertBytes("four.bmp", MakeBmp(four)).Status, 0);
  EXPECT_EQ(ReadPicture("four.fit").Values, (std::vector<int64_t>{254, 253, 252}));
}

TEST(BmpPalette, Os2CoreHeaderWithThreeBytePalette) {
  ScratchDir dir;
  BmpSpec b;
  b.Core = true;
  b.Bits = 8;
  b.Height = 1;
  b.Palette = GreyPalette(256, 3);
  b.FileRows = {"\x05\x06"};
  const test::RasterRun r = ConvertBytes("os2.bmp", MakeBmp(b));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ppa=26")) << r.Console;
  EXPECT_EQ(ReadPicture("os2.fit").Values, (std::vector<int64_t>{250, 249}));
}

TEST(BmpColour, TwentyFourAndThirtyTwoBits) {
  ScratchDir dir;
  // Width 3 at 24 bits: rows of 9 bytes in strides of 12.
  BmpSpec b;
  b.Width = 3;
  b.FileRows = {std::string("\xFF\xFF\xFF\x00\x00\xFF\xFF\x00\x00", 9),
                std::string("\x00\xFF\x00\x01\x02\x03\x10\x10\x10", 9)};
  const test::RasterRun r = ConvertBytes("c.bmp", MakeBmp(b));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ncp=0 RVB")) << r.Console;
  EXPECT_TRUE(r.Has("rvba={0.299,0.587,0.114,0.000}")) << r.Console;
  // White is 255 (the weights add up to 1); red 76.245, blue 29.07, green 149.685.
  EXPECT_EQ(ReadPicture("c.fit").Values, (std::vector<int64_t>{150, 2, 16, 255, 76, 29}));

  // 32 bits: blue, green, red, alpha; the alpha weight counts the fourth byte.
  BmpSpec w;
  w.Width = 1;
  w.Height = 1;
  w.Bits = 32;
  w.FileRows = {std::string("\x00\x00\xC8\x64", 4)};
  ASSERT_EQ(ConvertBytes("a.bmp", MakeBmp(w), {"C1,0,0,1", "TW"}).Status, 0);
  EXPECT_EQ(ReadPicture("a.fit").Values, (std::vector<int64_t>{300}));
}

TEST(BmpColour, SixteenBitsWithAndWithoutBitFields) {
  ScratchDir dir;
  // Without bit fields 16-bit pixels are 5-5-5: 0x7FFF is 31, 31, 31.
  BmpSpec b;
  b.Width = 3;
  b.Height = 1;
  b.Bits = 16;
  b.FileRows = {Words({0x7FFF, 0x7C00, 0x03E0})};
  ASSERT_EQ(ConvertBytes("n.bmp", MakeBmp(b), {"C1,1,1"}).Status, 0);
  EXPECT_EQ(ReadPicture("n.fit").Values, (std::vector<int64_t>{93, 31, 31}));

  // 5-6-5 bit fields: red and blue on green's 6-bit scale (62 + 63 + 62).
  b.Compression = 3;
  b.Masks = {0xF800, 0x07E0, 0x001F};
  b.FileRows = {Words({0xFFFF, 0xF800, 0x07E0})};
  ASSERT_EQ(ConvertBytes("f.bmp", MakeBmp(b), {"C1,1,1"}).Status, 0);
  EXPECT_EQ(ReadPicture("f.fit").Values, (std::vector<int64_t>{187, 62, 63}));

  // Masks are taken as stored: 4-4-4 with red in the low bits.
  b.Masks = {0x000F, 0x00F0, 0x0F00};
  b.FileRows = {Words({0x0FFF, 0x000A, 0x0B00})};
  ASSERT_EQ(ConvertBytes("m.bmp", MakeBmp(b), {"C1,1,1"}).Status, 0);
  EXPECT_EQ(ReadPicture("m.fit").Values, (std::vector<int64_t>{45, 10, 11}));
}

TEST(BmpRefused, CompressionDepthSignatureAndSize) {
  ScratchDir dir;
  BmpSpec rle;
  rle.Bits = 8;
  rle.Compression = 1;
  rle.Palette = GreyPalette(256);
  rle.FileRows = {"\x00\x00"};
  struct Case {
    std::string Bytes;
    std::string Message;
  };
  BmpSpec two = rle;
  two.Compression = 0;
  two.Bits = 2;
  BmpSpec wide;
  wide.Width = 30001;
  std::string notBmp = MakeBmp(BmpSpec{});
  notBmp[1] = 'A';
  const std::vector<Case> cases = {
      {MakeBmp(rle), "Compression pas support\u00e9e"},
      {MakeBmp(two), "Profondeur pas support\u00e9e : 2 bits par pixel"},
      {notBmp, "Pas du BMP !"},
      {MakeBmp(wide), "Taille d'image incorrecte : 30001 x 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    const test::RasterRun r = ConvertBytes("bad.bmp", c.Bytes);
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(r.Has(c.Message)) << r.Console;
    EXPECT_FALSE(std::filesystem::exists("bad.fit"));
  }
}

TEST(BmpRefused, TruncatedRowsAreZero) {
  ScratchDir dir;
  BmpSpec b;
  b.Width = 4;
  b.Height = 3;
  b.Bits = 8;
  b.Palette = GreyPalette(256);
  b.FileRows = {"\x01\x01\x01\x01"}; // one of three rows
  const test::RasterRun r = ConvertBytes("short.bmp", MakeBmp(b));
  EXPECT_NE(r.Status, 1) << r.Console;
  const Picture p = ReadPicture("short.fit");
  ASSERT_TRUE(p.Valid) << r.Console;
  EXPECT_EQ(p.Row(2), (std::vector<int64_t>{254, 254, 254, 254}));
  EXPECT_EQ(p.Row(0), (std::vector<int64_t>{255, 255, 255, 255})); // index 0
}

} // namespace
} // namespace korv
