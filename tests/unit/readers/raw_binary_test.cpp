// Headerless sample matrices through whole runs: presets, the layout option,
// completion from the file size and each kind's own way of finding its layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/julian.h"
#include "tests/unit/readers/instrument_files.h"

namespace korv {
namespace {

using namespace insttest;
using test::ScratchDir;
using namespace std::string_literals;

std::string Bytes(std::size_t n, uint8_t (*f)(std::size_t)) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(f(i));
  return s;
}

TEST(RawLayout, PresetsAndCompletionFromTheFileSize) {
  ScratchDir dir;
  // An imi file is 1020 x 1020 bytes from offset 0.
  RunResult r = Convert("a.imi", Bytes(1040400, [](std::size_t i) { return uint8_t(i % 251); }));
  ASSERT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFits("a.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 1020);
  EXPECT_EQ(img.Height, 1020);
  EXPECT_EQ(img.TopRow(1)[0], 1020 % 251);

  // A ccd file of 2000 bytes read as 40 words per row: 25 rows.
  r = Convert("b.ccd", std::string(2000, '\x01'), {"I0,40,,W"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("b.fit");
  EXPECT_EQ(img.Width, 40);
  EXPECT_EQ(img.Height, 25);
  EXPECT_EQ(img.At(0, 0), 0x0101);

  // A known height gives the width; a partial last row is zero-filled.
  r = Convert("c.ccd", std::string(10, '\x05'), {"I2,,3"});
  ASSERT_EQ(r.Status, 3) << r.Console; // 8 samples in 3 rows of 3
  img = ReadFits("c.fit");
  EXPECT_EQ(img.Width, 3);
  EXPECT_EQ(img.TopRow(2), (std::vector<int64_t>{5, 5, 0}));
}

TEST(RawLayout, LayoutOptionOverridesThePreset) {
  ScratchDir dir;
  // Offset 4, 2 x 2 big-endian words: the preset 660 x 500 is replaced.
  const std::string file = "HEAD\x12\x34\x00\x01\xff\xfe\x80\x00"s;
  RunResult r = Convert("a.hx5", file, {"I4,2,2,W,S"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFits("a.fit");
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{0x1234, 1}));
  EXPECT_EQ(img.TopRow(1), (std::vector<int64_t>{0xfffe, 0x8000}));
  // Signed words: -32768 is 0, 32767 is 65535 (little-endian, as stored).
  r = Convert("s.ccd", "\x00\x80\xff\x7f\x00\x00"s, {"I0,3,1,I"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("s.fit");
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{0, 65535, 32768}));
  // 32-bit integers clamp; floats round to nearest; items that are not numbers keep the value.
  std::string q;
  PutLE(q, 70000, 4);
  PutLE(q, static_cast<uint32_t>(-5), 4);
  r = Convert("q.ccd", q, {"Ix,2,1,Q"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFits("q.fit").TopRow(0), (std::vector<int64_t>{65535, 0}));
  float f[2] = {1234.6f, 2.5f};
  std::string fs(reinterpret_cast<const char*>(f), 8);
  r = Convert("f.ccd", fs, {"I0,2,1,S"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFits("f.fit").TopRow(0), (std::vector<int64_t>{1235, 2}));
}

TEST(RawLayout, ValueTransformAppliesToSamples) {
  ScratchDir dir;
  const RunResult r = Convert("t.ccd", "\x0a\x14"s, {"I0,2,1", "F5,3"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("F_z=5.0\nF_s=3.0000\n")) << r.Console;
  EXPECT_EQ(ReadFits("t.fit").TopRow(0), (std::vector<int64_t>{35, 65}));
}

TEST(RawLayout, IncompleteOrExcessiveLayoutsStop) {
  ScratchDir dir;
  RunResult r = Convert("e.ccd", "abc");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Taille d'image incorrecte : 0 x 0")) << r.Console;
  r = Convert("w.ccd", "abc", {"I0,30001,1"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Taille d'image incorrecte : 30001 x 1")) << r.Console;
  // A layout claiming gigabytes from three bytes is refused before any output.
  r = Convert("h.ccd", "abc", {"I0,30000,60000,Q"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Fichier tronqu\u00e9")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("h.fit"));
  r = Convert("v.vk4", std::string(4096, '\0'));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Exp\u00e9rimental\nFormat vk4")) << r.Console;
}

TEST(RawAnalysis, SizeProposalsStartAtTheSquareRoot) {
  ScratchDir dir;
  const RunResult r = Convert("p.bil", std::string(1200, '\x02'));
  ASSERT_EQ(r.Status, 0) << r.Console;
  const std::string list = "Tailles possibles:\n I0,30,40,B\n I0,25,48,B\n I0,24,50,B\n"
                           " I0,20,60,B\n";
  EXPECT_TRUE(r.Has(list)) << r.Console;
  EXPECT_TRUE(r.Has(" I0,1,1200,B\n ou l'inverse\n")) << r.Console;
  const FitsImage img = ReadFits("p.fit");
  EXPECT_EQ(img.Width, 30);
  EXPECT_EQ(img.Height, 40);
}

TEST(RawAnalysis, ImaTextHeaderGivesTheGeometry) {
  ScratchDir dir;
  std::string file = "IMAGE * LIGNES 3 * autre 9 * COLONNES 4 fin";
  file.resize(512, ' ');
  for (int i = 0; i < 12; ++i) file.push_back(static_cast<char>(i + 1));
  const RunResult r = Convert("i.ima", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("i.fit");
  EXPECT_EQ(img.Width, 4);
  EXPECT_EQ(img.Height, 3);
  EXPECT_EQ(img.TopRow(2), (std::vector<int64_t>{9, 10, 11, 12}));
}

TEST(RawAnalysis, HeightTextOf003FilesAndTheirBigEndianWords) {
  ScratchDir dir;
  std::string file(8292, ' ');
  std::memcpy(&file[238], "  2x    ", 8);
  file += "\x01\x02\x03\x04\x05\x06\x07\x08"s;
  const RunResult r = Convert("d.003", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("d.fit");
  EXPECT_EQ(img.Height, 2);
  EXPECT_EQ(img.Width, 2);
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{0x0102, 0x0304}));
}

TEST(RawAnalysis, L1gWidthFromRunsOfZeros) {
  ScratchDir dir;
  // Rows of 50 bytes, each ending in 8 zero bytes, 20 rows: 1000 bytes.
  std::string file;
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 42; ++c) file.push_back(static_cast<char>(1 + (r + c) % 200));
    file.append(8, '\0');
  }
  const RunResult r = Convert("l.l1g", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("l.fit");
  EXPECT_EQ(img.Width, 50);
  EXPECT_EQ(img.Height, 20);
}

TEST(RawAnalysis, RowLengthFromAutocorrelation) {
  ScratchDir dir;
  // Columns vary smoothly, rows drift slowly, with a little noise: adjacent
  // rows are the most alike, so the row length wins over its multiples.
  std::string file;
  for (int r = 0; r < 200; ++r)
    for (int c = 0; c < 321; ++c) {
      const double v = 100 + 60 * std::sin(c / 7.0) + 40 * std::sin(c / 23.0) + 0.5 * r +
                       static_cast<double>((r * 321 + c) * 7919 % 11) - 5;
      file.push_back(static_cast<char>(static_cast<uint8_t>(std::clamp(v, 0.0, 255.0))));
    }
  const RunResult r = Convert("x.xxx", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Opt=I0,321,,B\n")) << r.Console;
  // The best of the 32 scores is printed last.
  EXPECT_TRUE(r.Has("h=  321 c=")) << r.Console;
  EXPECT_LT(r.Console.find("h=  642"), r.Console.find("h=  321")) << r.Console;
  const FitsImage img = ReadFits("x.fit");
  EXPECT_EQ(img.Width, 321);
  EXPECT_EQ(img.Height, 200);
}

TEST(RawAnalysis, St4TrailerDatesTheImage) {
  ScratchDir dir;
  std::string file(192 * 165, '\x07');
  std::string trailer(89, ' ');
  std::memcpy(&trailer[15], "03/15/24 AT 12:30:45", 20);
  std::memcpy(&trailer[83], "001500", 6);
  file += trailer;
  const RunResult r = Convert("s.st4", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("s.fit");
  EXPECT_NE(img.Card("DATE-OBS").find("2024-03-15T12:30:45"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("EXPTIME").find("15.0"), std::string::npos) << img.Header;
}

TEST(RawAnalysis, PluFloatsAreStretchedWithBlanks) {
  ScratchDir dir;
  std::string file(508, '\0');
  const float values[4] = {-10.0f, 30.0f, NAN, 5000.0f};
  file.append(reinterpret_cast<const char*>(values), sizeof values);
  const RunResult r = Convert("p.plu", file, {"I508,2,2"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Exp\u00e9rimental\n")) << r.Console;
  EXPECT_TRUE(r.Has("Nmp=2\nVMi=-10.000000\nVMa=30.000000\n")) << r.Console;
  const FitsImage img = ReadFits("p.fit");
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{0, 65534}));
  EXPECT_EQ(img.TopRow(1), (std::vector<int64_t>{65535, 65535}));
  EXPECT_NE(img.Card("BLANK").find("65535"), std::string::npos) << img.Header;
}

TEST(RawAnalysis, SurfHeaderAndScale) {
  ScratchDir dir;
  std::string file(1536, '\0');
  std::string geometry;
  PutLE(geometry, 2, 4);
  PutLE(geometry, 1, 4);
  file.replace(108, 8, geometry);
  PutLE(file, 300000, 4);
  PutLE(file, 1000000, 4);
  const RunResult r = Convert("s.surf", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("F_s=0.000010\n")) << r.Console;
  EXPECT_EQ(ReadFits("s.fit").TopRow(0), (std::vector<int64_t>{3, 10}));
}

} // namespace
} // namespace korv
