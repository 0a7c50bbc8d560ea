// GIF reader through whole runs: the block walk before the image, palettes,
// interlaced rows, images placed inside their frame, and damaged files.

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "driver/run.h"
#include "tests/unit/readers/raster_test_support.h"

namespace korv {
namespace {

using test::ConvertBytes;
using test::Picture;
using test::PutLE16;
using test::ReadPicture;
using test::ScratchDir;

// A 256-entry palette whose entry i is (i, i, i), or (i, 0, 255 - i) in colour.
std::string Palette(bool colour, unsigned entries = 256) {
  std::string p;
  for (unsigned i = 0; i < entries; ++i) {
    p += static_cast<char>(i);
    p += static_cast<char>(colour ? 0 : i);
    p += static_cast<char>(colour ? 255 - i : i);
  }
  return p;
}

struct GifSpec {
  unsigned Left = 0, Top = 0, Width = 4, Height = 3;
  bool Interlaced = false;
  bool GlobalTable = true;
  bool ColourGlobal = false;
  bool LocalTable = false;
  std::string Before;             // blocks between the screen and the image
  std::vector<uint8_t> Indices;   // in file order; default: index = position
  std::size_t SubBlock = 255;
  bool CutData = false;
};

std::string MakeGif(const GifSpec& g) {
  std::string s = "GIF89a";
  PutLE16(s, g.Left + g.Width);
  PutLE16(s, g.Top + g.Height);
  s += static_cast<char>(g.GlobalTable ? 0xF7 : 0x00);
  s += '\0';
  s += '\0';
  if (g.GlobalTable) s += Palette(g.ColourGlobal);
  s += g.Before;
  s += '\x2C';
  PutLE16(s, g.Left);
  PutLE16(s, g.Top);
  PutLE16(s, g.Width);
  PutLE16(s, g.Height);
  s += static_cast<char>((g.LocalTable ? 0x87 : 0) | (g.Interlaced ? 0x40 : 0));
  if (g.LocalTable) s += Palette(true);
  s += '\x08';
  std::vector<uint8_t> idx = g.Indices;
  if (idx.empty()) {
    idx.resize(std::size_t{g.Width} * g.Height);
    for (std::size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint8_t>(i);
  }
  std::vector<uint8_t> data = test::LzwEncode(idx, 8);
  if (g.CutData) data.resize(data.size() / 3);
  s += test::SubBlocks(data, g.SubBlock);
  if (!g.CutData) s += '\x3B';
  return s;
}

const std::string GraphicControl = std::string("\x21\xF9\x04\x01\x0A\x00\x05\x00", 8);
const std::string Comment = std::string("\x21\xFE\x05hello\x03" "abc\x00", 13);
const std::string Application =
    std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);

TEST(GifBlocks, ExtensionsBeforeTheImageAreSkipped) {
  ScratchDir dir;
  const test::RasterRun plain = ConvertBytes("plain.gif", MakeGif({}));
  ASSERT_EQ(plain.Status, 0) << plain.Console;
  const Picture expected = ReadPicture("plain.fit");
  ASSERT_TRUE(expected.Valid);
  EXPECT_EQ(expected.Row(0), (std::vector<int64_t>{0, 1, 2, 3}));

  struct Case {
    const char* Name;
    std::string Blocks;
    std::vector<std::string> Lines;
  };
  const std::vector<Case> cases = {
      {"gce.gif", GraphicControl, {"Blo=33", "Bld=249", "Blo=44"}},
      {"comment.gif", Comment + GraphicControl, {"Blo=33", "Bld=254", "Bld=249", "Blo=44"}},
      {"anim.gif", Application + Comment + GraphicControl,
       {"Bld=255", "Bld=254", "Bld=249", "Blo=44"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    GifSpec g;
    g.Before = c.Blocks;
    const test::RasterRun r = ConvertBytes(c.Name, MakeGif(g));
    ASSERT_EQ(r.Status, 0) << r.Console;
    for (const std::string& line : c.Lines) EXPECT_TRUE(r.Has(line)) << line << "\n" << r.Console;
    const std::string fit = std::string(c.Name).substr(0, std::string(c.Name).size() - 3) + "fit";
    EXPECT_EQ(ReadPicture(fit).Values, expected.Values);
  }
}

TEST(GifBlocks, FileWithoutImageStops) {
  ScratchDir dir;
  std::string s = MakeGif({});
  const std::string head = s.substr(0, 13 + 768);
  // Ends after an extension; ends at the trailer; not a GIF at all.
  for (const std::string& bytes : {head + Comment, head + Comment + "\x3B", std::string("GIF8")}) {
    const test::RasterRun r = ConvertBytes("none.gif", bytes);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_TRUE(r.Has("Pas d'image dans le fichier") || r.Has("Pas du GIF !")) << r.Console;
    EXPECT_FALSE(std::filesystem::exists("none.fit"));
  }
  const test::RasterRun v = ConvertBytes("v.gif", "GIF88a" + s.substr(6));
  EXPECT_EQ(v.Status, 1);
  EXPECT_TRUE(v.Has("Ver=88")) << v.Console;
}

TEST(GifPalette, GreyColourAndLocalTables) {
  ScratchDir dir;
  test::RasterRun r = ConvertBytes("g.gif", MakeGif({}));
  EXPECT_TRUE(r.Has("Ncp=256 gris")) << r.Console;
  EXPECT_TRUE(r.Has("rvb={0.299,0.587,0.114}")) << r.Console;

  GifSpec colour;
  colour.ColourGlobal = true;
  r = ConvertBytes("c.gif", MakeGif(colour));
  EXPECT_TRUE(r.Has("Ncp=256 RVB")) << r.Console;
  // Entry 1 is (1, 0, 254): 0.299 + 254 x 0.114 = 29.255.
  EXPECT_EQ(ReadPicture("c.fit").At(1, 0), 29);

  // A local table replaces the global one; without a global table none is read.
  GifSpec local;
  local.GlobalTable = false;
  local.LocalTable = true;
  r = ConvertBytes("l.gif", MakeGif(local));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ncp=0 gris")) << r.Console;
  EXPECT_TRUE(r.Has("Ncp=256 RVB")) << r.Console;
  EXPECT_EQ(ReadPicture("l.fit").At(1, 0), 29);
}

TEST(GifRows, InterlacedPassesLandOnTheirRows) {
  ScratchDir dir;
  // 1 x 10: the file holds rows 0, 8, 4, 2, 6, 1, 3, 5, 7, 9; each pixel's
  // index is its row number, so the picture must read 0..9 from the top.
  GifSpec g;
  g.Width = 1;
  g.Height = 10;
  g.Interlaced = true;
  g.Indices = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
  const test::RasterRun r = ConvertBytes("i.gif", MakeGif(g));
  ASSERT_EQ(r.Status, 0) << r.Console;
  const Picture p = ReadPicture("i.fit");
  std::vector<int64_t> rows(10);
  std::iota(rows.begin(), rows.end(), 0);
  EXPECT_EQ(p.Values, rows);
}

TEST(GifRows, ImageSitsAtItsOffsetInTheFrame) {
  ScratchDir dir;
  GifSpec g;
  g.Left = 10;
  g.Top = 5;
  g.Width = 20;
  g.Height = 20;
  g.Indices.assign(400, 7);
  g.SubBlock = 9;
  test::WriteFile("o.gif", MakeGif(g));
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", "o.gif"}, out);
  ASSERT_EQ(RunConversion(*cv), 0) << out.str();
  EXPECT_EQ(cv->State.ImageWidth, 30);
  EXPECT_EQ(cv->State.ImageHeight, 25);
  EXPECT_EQ(cv->State.WindowX, 10u);
  EXPECT_EQ(cv->State.WindowY, 5u);
  EXPECT_EQ(cv->State.WindowWidth, 20);
  const Picture p = ReadPicture("o.fit");
  ASSERT_TRUE(p.Valid);
  EXPECT_EQ(p.At(9, 5), 0);   // left of the image
  EXPECT_EQ(p.At(10, 4), 0);  // above it
  EXPECT_EQ(p.At(10, 5), 7);
  EXPECT_EQ(p.At(29, 24), 7);
}

TEST(GifRows, CutCodeStreamLeavesZeros) {
  ScratchDir dir;
  GifSpec g;
  g.Width = 64;
  g.Height = 64;
  g.Indices.assign(64 * 64, 200);
  for (std::size_t i = 0; i < g.Indices.size(); i += 3) g.Indices[i] = static_cast<uint8_t>(i);
  g.CutData = true;
  const test::RasterRun r = ConvertBytes("cut.gif", MakeGif(g));
  EXPECT_NE(r.Status, 1) << r.Console;
  const Picture p = ReadPicture("cut.fit");
  ASSERT_TRUE(p.Valid) << r.Console;
  EXPECT_EQ(p.At(1, 0), 200);
  EXPECT_EQ(p.At(63, 63), 0);
}

} // namespace
} // namespace korv
