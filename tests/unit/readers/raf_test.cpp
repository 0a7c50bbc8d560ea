// Fujifilm RAF: the zero run before the data, the preview date, the packings,
// a 16-bit file written here, and the corpus file whose raw data were stripped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/tiff/raf_layout.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"

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
