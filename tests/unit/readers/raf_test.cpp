// Fujifilm RAF: the zero run before the data, the preview date, the packings,
// a file of each data layout written here (samples, placement and the colour
// cell of each sample), and the corpus file whose raw data were stripped.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "readers/tiff/raf_layout.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"
#include "tests/vendor_raw_files.h"

namespace korv {
namespace {

using test::ScratchDir;
using test::misc_raster::ConvertFile;
using test::misc_raster::ReadFitsImage;

TEST(RafLayout, ZeroRunSkipNeedsMoreThanTwentyZeroWords) {
  std::vector<uint8_t> d(4 * 20, 0);
  d.push_back(7);
  EXPECT_EQ(RafZeroRunSkip(d), 0u); // 20 words: not a run
  std::vector<uint8_t> e(4 * 21 + 3, 0);
  e.push_back(9);
  EXPECT_EQ(RafZeroRunSkip(e), 87u); // continues byte by byte
  std::vector<uint8_t> f(4 * 30, 0); // the data end first
  EXPECT_EQ(RafZeroRunSkip(f), 0u);
}

TEST(RafLayout, PreviewDateAndPackings) {
  const std::string t = "xx 2019:13:01 10:00:00 2008:08:06 15:21:56";
  RafDate date;
  ASSERT_TRUE(FindRafDate(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(t.data()),
                                                   t.size()),
                          date));
  // The first place that fits the pattern (month 13 passes its digit test).
  EXPECT_EQ(date.Place, 3u);
  EXPECT_EQ(date.Year, 2019u);
  const std::vector<uint8_t> b{0xAB, 0xCD, 0xEF};
  EXPECT_EQ(Unpack12Big(b, 0), 0xABCu);
  EXPECT_EQ(Unpack12Big(b, 1), 0xDEFu);
  EXPECT_EQ(Unpack12Little(b, 0), 0xDABu);
  EXPECT_EQ(Unpack12Little(b, 1), 0xEFCu);
  const std::vector<uint8_t> m{0xFF, 0xFC, 0x00, 0x07};
  EXPECT_EQ(Unpack14Msb(m, 0), 0x3FFFu);
  EXPECT_EQ(Unpack14Msb(m, 1), 0u);
  std::vector<uint8_t> s{1, 2, 3, 4, 5};
  SwapGroupsOf4(s);
  EXPECT_EQ(s, (std::vector<uint8_t>{4, 3, 2, 1, 5}));
}

void Put32Big(std::string& s, std::size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) s[at + k] = static_cast<char>(v >> (24 - 8 * k));
}

// A RAF file of 16-bit samples, wider than high (the diagonal layout).
std::string Raf16(unsigned w, unsigned h, bool littleExif, std::vector<uint16_t>& samples) {
  std::string f(2048, '\0');
  f.replace(0, 16, "FUJIFILMCCD-RAW ");
  f.replace(28, 12, "FinePix TEST");
  const std::string preview = std::string("\xFF\xD8\xFF\xE1\0\x20", 6) + "Exif" +
                              std::string(2, '\0') + (littleExif ? "II" : "MM") +
                              " 2008:08:06 15:21:56";
  f.replace(200, preview.size(), preview);
  Put32Big(f, 84, 200);
  Put32Big(f, 88, static_cast<uint32_t>(preview.size()));
  Put32Big(f, 92, 400);
  Put32Big(f, 96, 12);
  Put32Big(f, 100, 1024);
  Put32Big(f, 104, 2 * w * h);
  Put32Big(f, 400, 1);
  f[404] = 1, f[405] = 0, f[406] = 0, f[407] = 4; // tag 0x100, size 4
  f[408] = 0, f[409] = static_cast<char>(h), f[410] = 0, f[411] = static_cast<char>(w);
  f.resize(1024);
  for (unsigned i = 0; i < w * h; ++i) {
    const uint16_t v = static_cast<uint16_t>((i * 37) % 16384);
    samples.push_back(v);
    f.push_back(static_cast<char>(littleExif ? v & 0xFF : v >> 8));
    f.push_back(static_cast<char>(littleExif ? v >> 8 : v & 0xFF));
  }
  return f;
}

TEST(RafReader, SixteenBitSamplesFollowThePreviewByteOrder) {
  ScratchDir dir;
  for (bool little : {true, false}) {
    std::vector<uint16_t> samples;
    const std::string name = little ? "l" : "b";
    const auto r = ConvertFile(name + ".raf", Raf16(40, 24, little, samples), {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_TRUE(r.Has("Cas=1"));
    EXPECT_TRUE(r.Has("Det=FinePix TEST"));
    EXPECT_TRUE(r.Has("Nph=40 Npv=24"));
    const auto img = ReadFitsImage(name + ".fit");
    ASSERT_TRUE(img.Valid);
    for (long y = 0; y < 24; ++y)
      for (long x = 0; x < 40; ++x) ASSERT_EQ(img.Top(y, x), samples[y * 40 + x]) << x << "," << y;
  }
}

// The factors the run printed ("Cco=f0,f1,f2,f3: oui").
std::array<double, 4> PrintedFactors(const std::string& console) {
  std::array<double, 4> f{};
  const auto at = console.find("Cco=");
  if (at == std::string::npos) return f;
  std::sscanf(console.c_str() + at, "Cco=%lf,%lf,%lf,%lf", &f[0], &f[1], &f[2], &f[3]);
  return f;
}

// Cell of sample (x, r) as each layout assigns it.
unsigned RafCell(int layout, unsigned x, unsigned r) {
  switch (layout) {
  case 0: return x & 3;
  case 1:
  case 3: return (x & 1) == 0 ? 2 + ((r ^ ((x + 1) >> 1)) & 1) : (r & 1);
  case 2:
  case 4: return (r & 1) == 0 ? 2 + ((x ^ (r >> 1)) & 1) : (x & 1);
  default: return (x & 1) | 2 * (r & 1);
  }
}

// Every layout: the samples written (placed as the layout places them), each
// multiplied by the factor of its cell and clamped. Factors 2, 3, 5 for red,
// green, blue tell the cells apart.
TEST(RafReader, EachLayoutPlacesItsSamplesAndWeighsThemByTheirCell) {
  ScratchDir dir;
  struct Case {
    std::string Kind;
    unsigned W, H;
    int Layout;
  } cases[] = {{"raf16", 40, 24, 1},      {"raf16", 24, 40, 2},     {"raf16-mm", 40, 24, 1},
               {"raf-s2pro", 40, 24, 3},  {"raf-f800", 40, 24, 4},  {"raf-sl1000", 36, 20, 5},
               {"raf-xa10", 40, 20, 6},   {"raf-xa3", 40, 20, 10},  {"raf-case0", 20, 24, 0}};
  for (const Case& c : cases) {
    std::string file;
    std::vector<uint16_t> stored;
    ASSERT_TRUE(test::WriteRafKind(c.Kind, c.W, c.H, 31, file, &stored));
    const std::string name = c.Kind + std::to_string(c.W) + ".raf";
    for (const bool weighed : {false, true}) {
      const auto r = ConvertFile(name, file, {weighed ? "C2,3,5,7" : "C1,1,1,1"});
      ASSERT_EQ(r.Status, 0) << c.Kind << r.Console;
      ASSERT_TRUE(r.Has("Cas=" + std::to_string(c.Layout))) << c.Kind << r.Console;
      const auto f = PrintedFactors(r.Console);
      const auto img = ReadFitsImage(c.Kind + std::to_string(c.W) + ".fit");
      std::filesystem::remove(c.Kind + std::to_string(c.W) + ".fit");
      const unsigned w = c.Layout == 0 ? 2 * c.W : c.W;
      ASSERT_EQ(img.Width, static_cast<long>(w)) << c.Kind;
      ASSERT_EQ(img.Height, static_cast<long>(c.H));
      for (unsigned i = 0; i < stored.size(); ++i) {
        // Stored order is file order; case 0 holds the even rows, then the
        // odd ones, each its even columns, then its odd ones.
        unsigned y = i / w, x = i % w;
        if (c.Layout == 0) {
          y = y < c.H / 2 ? 2 * y : 2 * (y - c.H / 2) + 1;
          x = x < w / 2 ? 2 * x : 2 * (x - w / 2) + 1;
        }
        const double want = std::min(65535.0, std::floor(stored[i] * f[RafCell(c.Layout, x, y)]));
        ASSERT_EQ(img.Top(y, x), static_cast<int64_t>(want))
            << c.Kind << " " << x << "," << y << (weighed ? " weighed" : "");
      }
    }
  }
}

TEST(RafReader, HsTenDataArePackedWordsWithOrWithoutGeometry) {
  ScratchDir dir;
  // With its geometry in the directory the HS10 keeps the packed layout
  // (read as 16-bit or interleaved data it would be garbage).
  const unsigned w = 32, h = 16;
  std::vector<uint16_t> v = test::MakeMosaic(w, h, 12, 4);
  v[2] = 0x800;  // the first stored byte is not zero
  test::RafOptions o;
  o.Model = "FinePix HS10 HS11";
  o.Width = w;
  o.Height = h;
  o.CfaTiff = true;
  o.TiffWidth = w;
  o.TiffHeight = h;
  o.TiffBits = 12;
  o.PackedFlag = 1;
  const auto r = ConvertFile("g.raf", test::WriteRaf(test::RafPacked12Words(v), o), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Cas=5"));
  const auto img = ReadFitsImage("g.fit");
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x) ASSERT_EQ(img.Top(y, x), v[y * w + x]) << x << "," << y;
  // Without it, the camera's size (3664 x 2742, the peers' check): this file
  // is far too short for it and is refused, not stopped for a zero geometry.
  o.Geometry = false;
  const auto n = ConvertFile("n.raf", test::WriteRaf(test::RafPacked12Words(v), o));
  EXPECT_TRUE(n.Has("Pas de donn\u00e9es d'image dans le fichier")) << n.Console;
  EXPECT_EQ(n.Status, 1);
}

TEST(RafReader, TheSecondInterleavedStreamStartsAfterItsOwnZeroRun) {
  ScratchDir dir;
  const unsigned w = 16, h = 8;  // 32 samples a row, 48 bytes
  std::vector<uint16_t> v = test::MakeMosaic(2 * w, h, 12, 6);
  for (unsigned i = 0; i < v.size(); ++i) v[i] = static_cast<uint16_t>(v[i] | 0x101);
  const std::string packed = test::RafPacked12Little(v);
  const std::size_t half = packed.size() / 2;
  // A zero run before the first stream (the first run from the data offset
  // on), 25 zero words and a byte between the streams.
  const std::string data = std::string(128, '\0') + packed.substr(0, half) +
                           std::string(101, '\0') + packed.substr(half);
  test::RafOptions o;
  o.Width = w;
  o.Height = h;
  o.CfaLength = w * h;
  const auto r = ConvertFile("i.raf", test::WriteRaf(data, o), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  ASSERT_TRUE(r.Has("Cas=0"));
  const auto img = ReadFitsImage("i.fit");
  ASSERT_EQ(img.Width, 2 * w);
  for (unsigned i = 0; i < v.size(); ++i) {
    const unsigned sy = i / (2 * w), sx = i % (2 * w);
    const unsigned y = sy < h / 2 ? 2 * sy : 2 * (sy - h / 2) + 1;
    const unsigned x = sx < w ? 2 * sx : 2 * (sx - w) + 1;
    ASSERT_EQ(img.Top(y, x), v[i]) << x << "," << y;
  }
}

TEST(RafReader, StrippedOrHeaderOnlyFilesAreRefused) {
  ScratchDir dir;
  std::vector<uint16_t> samples;
  std::string f = Raf16(40, 24, true, samples);
  f.resize(1024 + 100); // most of the data missing
  auto r = ConvertFile("s.raf", f);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier")) << r.Console;
  std::string z = Raf16(40, 24, true, samples);
  Put32Big(z, 100, 0); // data offset 0: never read the header as pixels
  r = ConvertFile("z.raf", z);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier")) << r.Console;
  const auto corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  r = ConvertFile("c.raf", test::ReadFile(corpus / "raw" / "exiftool_FujiFilm.raf"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Det=FinePix S5Pro")) << r.Console;
  EXPECT_TRUE(r.Has("Nph=4352 Npv=1444"));
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier"));
  EXPECT_FALSE(std::filesystem::exists("c.fit"));
}

} // namespace
} // namespace korv
