// PCX reader through whole runs: header and trailing palettes, run-length
// lines, 1-bit and EGA planar images, 8-bit colour planes.

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

struct PcxSpec {
  unsigned Width = 4, Height = 1;
  uint8_t Version = 5, Encoding = 1, Bits = 8, Planes = 1;
  unsigned BytesPerPlane = 4;
  std::string HeaderPalette; // up to 48 bytes
  std::string Data;
  std::string Trailer;       // appended after the data
};

std::string MakePcx(const PcxSpec& p) {
  std::string s;
  s += '\x0A';
  s += static_cast<char>(p.Version);
  s += static_cast<char>(p.Encoding);
  s += static_cast<char>(p.Bits);
  PutLE16(s, 0);
  PutLE16(s, 0);
  PutLE16(s, p.Width - 1);
  PutLE16(s, p.Height - 1);
  PutLE16(s, 72);
  PutLE16(s, 72);
  std::string pal = p.HeaderPalette;
  pal.resize(48, '\0');
  s += pal;
  s += '\0';
  s += static_cast<char>(p.Planes);
  PutLE16(s, p.BytesPerPlane);
  s.resize(128, '\0');
  return s + p.Data + p.Trailer;
}

// 256 grey entries (i, i, i) after the marker 12.
std::string TrailingGrey() {
  std::string t = "\x0C";
  for (unsigned i = 0; i < 256; ++i) t += std::string(3, static_cast<char>(i));
  return t;
}

TEST(PcxPalette, TrailingPaletteNeedsItsMarker) {
  ScratchDir dir;
  PcxSpec p;
  p.HeaderPalette = std::string(48, '\x07');
  p.Data = std::string("\x01\x02\xC2\x05", 4); // 1, 2, then a run of two 5s
  p.Trailer = TrailingGrey();
  test::RasterRun r = ConvertBytes("t.pcx", MakePcx(p));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Tpa=gris256")) << r.Console;
  EXPECT_EQ(ReadPicture("t.fit").Values, (std::vector<int64_t>{1, 2, 5, 5}));

  // Without the marker the header palette stays: 16 entries, all 7.
  p.Trailer[0] = '\x0B';
  r = ConvertBytes("n.pcx", MakePcx(p));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Tpa=gris16")) << r.Console;
  EXPECT_EQ(ReadPicture("n.fit").Values, (std::vector<int64_t>{7, 7, 7, 7}));
}

TEST(PcxLines, RunsStopAtTheEndOfTheLine) {
  ScratchDir dir;
  PcxSpec p;
  p.Width = 5;
  p.Height = 2;
  p.BytesPerPlane = 5;
  p.Trailer = TrailingGrey();
  // 0xC3 0x7F: three 0x7F; 0xC0 v is a run of 256, cut at the line's end; the
  // next line starts with a fresh byte.
  p.Data = std::string("\xC3\x7F\xC0\x09" "\x01\x02\x03\x04\x05", 9);
  const test::RasterRun r = ConvertBytes("r.pcx", MakePcx(p));
  ASSERT_EQ(r.Status, 0) << r.Console;
  const Picture pic = ReadPicture("r.fit");
  EXPECT_EQ(pic.Row(0), (std::vector<int64_t>{127, 127, 127, 9, 9}));
  EXPECT_EQ(pic.Row(1), (std::vector<int64_t>{1, 2, 3, 4, 5}));

  // Raw lines (encoding 0) take bytes as they are, 0xC0 included.
  p.Encoding = 0;
  p.Data = std::string("\xC3\x7F\xC0\x09\x01" "\x01\x02\x03\x04\x05", 10);
  ASSERT_EQ(ConvertBytes("raw.pcx", MakePcx(p)).Status, 0);
  EXPECT_EQ(ReadPicture("raw.fit").Row(0), (std::vector<int64_t>{0xC3, 0x7F, 0xC0, 9, 1}));
}

TEST(PcxPlanes, MonochromeAndEga) {
  ScratchDir dir;
  // 1 bit with two equal header entries: 0 and 255.
  PcxSpec mono;
  mono.Width = 10;
  mono.Bits = 1;
  mono.BytesPerPlane = 2;
  mono.Data = std::string("\xA0\x40", 2);
  ASSERT_EQ(ConvertBytes("m.pcx", MakePcx(mono)).Status, 0);
  EXPECT_EQ(ReadPicture("m.fit").Values,
            (std::vector<int64_t>{255, 0, 255, 0, 0, 0, 0, 0, 0, 255}));

  // EGA: four planes of 1 bit; plane k gives bit k of the index.
  PcxSpec ega;
  ega.Width = 4;
  ega.Bits = 1;
  ega.Planes = 4;
  ega.BytesPerPlane = 1;
  for (unsigned i = 0; i < 16; ++i) ega.HeaderPalette += std::string(3, static_cast<char>(16 * i));
  // Columns get indices 0b0001, 0b0010, 0b1100, 0b1111.
  ega.Data = std::string("\x90\x50\x30\x30", 4);
  const test::RasterRun r = ConvertBytes("e.pcx", MakePcx(ega));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Tpa=gris16")) << r.Console;
  EXPECT_EQ(ReadPicture("e.fit").Values, (std::vector<int64_t>{16, 32, 192, 240}));
}

TEST(PcxPlanes, ColourPlanesUseBytesPerLine) {
  ScratchDir dir;
  // Width 5, 6 bytes per plane: green of column c is at c + 6.
  PcxSpec p;
  p.Width = 5;
  p.Planes = 3;
  p.BytesPerPlane = 6;
  p.Encoding = 0;
  p.Data = std::string("\xFF\x00\x00\x00\x0A\x00" "\x00\xFF\x00\x00\x0A\x00" "\x00\x00\xFF\x00\x0A\x00", 18);
  const test::RasterRun r = ConvertBytes("c.pcx", MakePcx(p));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Tpl=RVB")) << r.Console;
  EXPECT_EQ(ReadPicture("c.fit").Values, (std::vector<int64_t>{76, 150, 29, 0, 10}));
}

TEST(PcxLines, BadSizeStopsAndShortFileGivesZeros) {
  ScratchDir dir;
  PcxSpec p;
  p.Width = 65536; // xmax 65535
  p.Data = "x";
  const test::RasterRun bad = ConvertBytes("bad.pcx", MakePcx(p));
  EXPECT_EQ(bad.Status, 1);
  EXPECT_TRUE(bad.Has("Taille d'image incorrecte : 65536 x 1")) << bad.Console;

  PcxSpec s;
  s.Height = 3;
  s.Data = std::string("\xC4\x11", 2); // one line of three
  s.Trailer = "";
  const test::RasterRun r = ConvertBytes("s.pcx", MakePcx(s));
  EXPECT_NE(r.Status, 1) << r.Console;
  const Picture pic = ReadPicture("s.fit");
  ASSERT_TRUE(pic.Valid);
  EXPECT_EQ(pic.Row(2), (std::vector<int64_t>{0, 0, 0, 0}));
}

} // namespace
} // namespace korv
