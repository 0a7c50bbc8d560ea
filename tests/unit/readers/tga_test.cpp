// TGA reader through whole runs: origins, pixel depths, colour maps,
// run-length packets across rows, and the field options T0 and T1.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/readers/raster_test_support.h"

namespace korv {
namespace {

using test::ConvertBytes;
using test::Picture;
using test::PutLE16;
using test::ReadPicture;
using test::ScratchDir;

struct TgaSpec {
  uint8_t Type = 2;
  unsigned Width = 2, Height = 2;
  uint8_t Depth = 24;
  uint8_t Descriptor = 0x20; // top-left origin
  std::string Id;
  unsigned MapLength = 0;
  uint8_t MapBits = 0;
  std::string Map;
  std::string Data;
};

std::string MakeTga(const TgaSpec& t) {
  std::string s;
  s += static_cast<char>(t.Id.size());
  s += static_cast<char>(t.MapLength ? 1 : 0);
  s += static_cast<char>(t.Type);
  PutLE16(s, 0);
  PutLE16(s, t.MapLength);
  s += static_cast<char>(t.MapBits);
  PutLE16(s, 0);
  PutLE16(s, 0);
  PutLE16(s, t.Width);
  PutLE16(s, t.Height);
  s += static_cast<char>(t.Depth);
  s += static_cast<char>(t.Descriptor);
  return s + t.Id + t.Map + t.Data;
}

// Grey samples 1, 2, ... one byte each.
std::string Ramp(unsigned n) {
  std::string s;
  for (unsigned i = 1; i <= n; ++i) s += static_cast<char>(i);
  return s;
}

TEST(TgaRows, OriginBitsAndMirrorOptions) {
  ScratchDir dir;
  TgaSpec t;
  t.Type = 3;
  t.Depth = 8;
  t.Width = 3;
  t.Data = Ramp(6);
  ASSERT_EQ(ConvertBytes("tl.tga", MakeTga(t)).Status, 0);
  EXPECT_EQ(ReadPicture("tl.fit").Values, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));

  // Bottom-up: the first stored row is the bottom of the picture; MY flips it back.
  t.Descriptor = 0x00;
  ASSERT_EQ(ConvertBytes("bl.tga", MakeTga(t)).Status, 0);
  EXPECT_EQ(ReadPicture("bl.fit").Values, (std::vector<int64_t>{4, 5, 6, 1, 2, 3}));
  ASSERT_EQ(ConvertBytes("blmy.tga", MakeTga(t), {"MY"}).Status, 0);
  EXPECT_EQ(ReadPicture("blmy.fit").Values, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));

  // Right to left.
  t.Descriptor = 0x30;
  ASSERT_EQ(ConvertBytes("tr.tga", MakeTga(t)).Status, 0);
  EXPECT_EQ(ReadPicture("tr.fit").Values, (std::vector<int64_t>{3, 2, 1, 6, 5, 4}));
}

TEST(TgaPixels, DepthsAndColourMaps) {
  ScratchDir dir;
  // 16-bit pure red 0x7C00: 31 x 0.299 = 9.269.
  TgaSpec w;
  w.Width = 2;
  w.Height = 1;
  w.Depth = 16;
  PutLE16(w.Data, 0x7C00);
  PutLE16(w.Data, 0x7FFF);
  ASSERT_EQ(ConvertBytes("w.tga", MakeTga(w)).Status, 0);
  EXPECT_EQ(ReadPicture("w.fit").Values, (std::vector<int64_t>{9, 31}));

  // 24 and 32 bits: blue, green, red (, alpha).
  TgaSpec c = w;
  c.Depth = 32;
  c.Data = std::string("\x00\x00\xFF\x80" "\xFF\x00\x00\x10", 8);
  ASSERT_EQ(ConvertBytes("c.tga", MakeTga(c), {"C1,0,1,1", "TW"}).Status, 0);
  EXPECT_EQ(ReadPicture("c.fit").Values, (std::vector<int64_t>{255 + 128, 255 + 16}));

  // Colour map after an identification field of 20 bytes, at offset 38.
  TgaSpec m;
  m.Type = 1;
  m.Depth = 8;
  m.Width = 3;
  m.Height = 1;
  m.Id = std::string(20, 'i');
  m.MapLength = 3;
  m.MapBits = 24;
  m.Map = std::string("\x00\x00\x00" "\x0A\x0A\x0A" "\x00\x00\xFF", 9);
  m.Data = std::string("\x02\x01\x00", 3);
  const std::string bytes = MakeTga(m);
  ASSERT_EQ(bytes.substr(38, 3), std::string(3, '\0'));
  ASSERT_EQ(ConvertBytes("m.tga", bytes).Status, 0);
  EXPECT_EQ(ReadPicture("m.fit").Values, (std::vector<int64_t>{76, 10, 0}));
}

TEST(TgaPackets, RunsAndLiteralsCrossRows) {
  ScratchDir dir;
  // 3 x 2 colour: a run of four (0x83) then a literal packet of two pixels;
  // the run covers row 0 and the first column of row 1.
  TgaSpec t;
  t.Type = 10;
  t.Width = 3;
  t.Data = std::string("\x83\x00\x00\xFF" "\x01\xFF\x00\x00\x00\xFF\x00", 11);
  ASSERT_EQ(ConvertBytes("r.tga", MakeTga(t)).Status, 0);
  EXPECT_EQ(ReadPicture("r.fit").Values, (std::vector<int64_t>{76, 76, 76, 76, 29, 150}));

  // 32-bit packets carry four bytes a pixel; a packet longer than the image is cut.
  t.Depth = 32;
  t.Data = std::string("\x81\x00\x00\xFF\x00" "\x83\x00\xFF\x00\x00", 10);
  ASSERT_EQ(ConvertBytes("r32.tga", MakeTga(t)).Status, 0);
  EXPECT_EQ(ReadPicture("r32.fit").Values, (std::vector<int64_t>{76, 76, 150, 150, 150, 150}));

  // Grey packets (type 11) and colour-mapped packets (type 9).
  TgaSpec g;
  g.Type = 11;
  g.Depth = 8;
  g.Width = 4;
  g.Height = 1;
  g.Data = std::string("\x01\x05\x06\x81\x07", 5);
  ASSERT_EQ(ConvertBytes("g.tga", MakeTga(g)).Status, 0);
  EXPECT_EQ(ReadPicture("g.fit").Values, (std::vector<int64_t>{5, 6, 7, 7}));
}

TEST(TgaFields, OneFieldDoubled) {
  ScratchDir dir;
  TgaSpec t;
  t.Type = 3;
  t.Depth = 8;
  t.Width = 2;
  t.Height = 4;
  t.Data = Ramp(8); // rows (1,2) (3,4) (5,6) (7,8)
  test::RasterRun r = ConvertBytes("t0.tga", MakeTga(t), {"T0"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Tra=01")) << r.Console;
  EXPECT_EQ(ReadPicture("t0.fit").Values, (std::vector<int64_t>{1, 2, 1, 2, 5, 6, 5, 6}));
  r = ConvertBytes("t1.tga", MakeTga(t), {"T1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadPicture("t1.fit").Values, (std::vector<int64_t>{3, 4, 3, 4, 7, 8, 7, 8}));

  // A doubled row is mirrored once, not twice.
  ASSERT_EQ(ConvertBytes("t0mx.tga", MakeTga(t), {"T0", "MX"}).Status, 0);
  EXPECT_EQ(ReadPicture("t0mx.fit").Values, (std::vector<int64_t>{2, 1, 2, 1, 6, 5, 6, 5}));

  // Odd height: every row of the picture is still written.
  t.Height = 3;
  t.Data = Ramp(6);
  ASSERT_EQ(ConvertBytes("odd0.tga", MakeTga(t), {"T0"}).Status, 0);
  EXPECT_EQ(ReadPicture("odd0.fit").Values, (std::vector<int64_t>{1, 2, 1, 2, 5, 6}));
  ASSERT_EQ(ConvertBytes("odd1.tga", MakeTga(t), {"T1"}).Status, 0);
  EXPECT_EQ(ReadPicture("odd1.fit").Values, (std::vector<int64_t>{3, 4, 3, 4, 0, 0}));
}

TEST(TgaRefused, TypesDepthsAndMaps) {
  ScratchDir dir;
  struct Case {
    uint8_t Type, Depth, MapBits;
    unsigned MapLength;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {2, 8, 0, 0, "Type d'image pas support\u00e9 : 2, 8 bits"},
      {4, 8, 0, 0, "Type d'image pas support\u00e9 : 4, 8 bits"},
      {1, 8, 8, 2, "Palette pas support\u00e9e : 8 bits"},
      {1, 8, 24, 16385, "Palette trop longue : 16385"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    TgaSpec t;
    t.Type = c.Type;
    t.Depth = c.Depth;
    t.MapBits = c.MapBits;
    t.MapLength = c.MapLength;
    t.Data = "abcd";
    const test::RasterRun r = ConvertBytes("bad.tga", MakeTga(t));
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(r.Has(c.Message)) << r.Console;
  }
}

} // namespace
} // namespace korv
