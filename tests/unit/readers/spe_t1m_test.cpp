// SPE and T1M files through whole runs, real SPE files of the shared corpus,
// and the T1M difference decoder on its own.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "readers/instrument/t1m_row_decoder.h"
#include "tests/unit/readers/instrument_files.h"

namespace korv {
namespace {

using namespace insttest;
using test::ScratchDir;

std::string SpeFile(uint16_t width, uint16_t height, int16_t type, const std::string& data,
                    int32_t frames = 1) {
  std::string f(4100, '\0');
  auto put = [&](std::size_t at, uint64_t v, unsigned n) {
    std::string b;
    PutLE(b, v, n);
    f.replace(at, n, b);
  };
  put(42, width, 2);
  put(108, static_cast<uint16_t>(type), 2);
  put(656, height, 2);
  put(1446, static_cast<uint32_t>(frames), 4);
  return f + data;
}

TEST(SpeImage, SampleTypesAndTheirRanges) {
  ScratchDir dir;
  std::string i16;
  for (int v : {-32768, 32767, 0}) PutLE(i16, static_cast<uint16_t>(v), 2);
  RunResult r = Convert("a.spe", SpeFile(3, 1, 2, i16, 7));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ipa=2 I16\nNum=7\n")) << r.Console;
  EXPECT_EQ(ReadFits("a.fit").TopRow(0), (std::vector<int64_t>{0, 65535, 32768}));

  const float f[2] = {1234.6f, -3.0f};
  r = Convert("b.spe", SpeFile(2, 1, 0, std::string(reinterpret_cast<const char*>(f), 8)));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Ipa=0 R32\n")) << r.Console;
  EXPECT_EQ(ReadFits("b.fit").TopRow(0), (std::vector<int64_t>{1235, 0}));

  std::string i32;
  PutLE(i32, 70000, 4);
  PutLE(i32, 12345, 4);
  r = Convert("c.spe", SpeFile(2, 1, 1, i32));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFits("c.fit").TopRow(0), (std::vector<int64_t>{65535, 12345}));

  r = Convert("d.spe", SpeFile(2, 1, 5, "abcd"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Ipa=5 ?\n")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("d.fit"));
}

TEST(SpeImage, OnlyTheFirstFrameIsRead) {
  ScratchDir dir;
  std::string w16;
  for (int v : {1, 2, 3, 4, 5, 6, 7, 8}) PutLE(w16, static_cast<uint16_t>(v), 2);
  const RunResult r = Convert("f.spe", SpeFile(2, 2, 3, w16, 2));
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("f.fit");
  EXPECT_EQ(img.Height, 2);
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(img.TopRow(1), (std::vector<int64_t>{3, 4}));
}

TEST(SpeCorpus, RealFilesGiveTheirFirstFrame) {
  const std::filesystem::path corpus = test::CorpusDir();
  if (corpus.empty()) {
    if (std::getenv("CI")) FAIL() << "shared corpus missing";
    GTEST_SKIP() << "shared corpus absent";
  }
  ScratchDir dir;
  for (const auto& entry : std::filesystem::directory_iterator(corpus / "spe")) {
    SCOPED_TRACE(entry.path().string());
    const std::string bytes = ReadFile(entry.path());
    ASSERT_GT(bytes.size(), 4100u);
    auto u16 = [&](std::size_t at) {
      return static_cast<unsigned>(static_cast<uint8_t>(bytes[at]) |
                                   (static_cast<uint8_t>(bytes[at + 1]) << 8));
    };
    const unsigned width = u16(42), height = u16(656), type = u16(108);
    const std::filesystem::path copy = dir.Path() / "corpus.spe";
    std::filesystem::copy_file(entry.path(), copy, std::filesystem::copy_options::overwrite_existing);
    const RunResult r = RunOn("corpus.spe");
    ASSERT_EQ(r.Status, 0) << r.Console;
    const FitsImage img = ReadFits("corpus.fit");
    ASSERT_TRUE(img.Valid);
    ASSERT_EQ(img.Width, static_cast<long>(width));
    ASSERT_EQ(img.Height, static_cast<long>(height));
    ASSERT_EQ(type, 3u); // both files hold unsigned 16-bit samples
    for (unsigned row = 0; row < height; ++row) {
      const auto got = img.TopRow(static_cast<long>(row));
      for (unsigned c = 0; c < width; ++c)
        ASSERT_EQ(got[c], u16(4100 + 2 * (row * width + c))) << "row " << row << " col " << c;
    }
  }
}

std::vector<uint16_t> DecodeT1m(const std::vector<uint8_t>& bytes, unsigned bits, std::size_t n) {
  std::vector<uint16_t> row(n, 0xEEEE);
  DecodeT1mRow(bytes, bits, row);
  return row;
}

TEST(T1mRowDecoder, FourAndEightBitDifferences) {
  EXPECT_EQ(DecodeT1m({0xE8, 0x03, 127, 130, 255, 0x10, 0x27}, 8, 4),
            (std::vector<uint16_t>{1000, 1000, 1003, 10000}));
  EXPECT_EQ(DecodeT1m({100, 0, 0x89}, 4, 3), (std::vector<uint16_t>{100, 101, 103}));
  // An escape in the high nibble skips the low one; coding resumes after the sample.
  EXPECT_EQ(DecodeT1m({100, 0, 0xF3, 0x10, 0x27, 0x80}, 4, 4),
            (std::vector<uint16_t>{100, 10000, 10001, 9994}));
  // An escape in the low nibble.
  EXPECT_EQ(DecodeT1m({100, 0, 0x8F, 0x00, 0x01, 0x70}, 4, 4),
            (std::vector<uint16_t>{100, 101, 256, 256}));
  // Arithmetic modulo 65536, plain rows, and short rows padded with zeros.
  EXPECT_EQ(DecodeT1m({0, 0, 0}, 8, 2), (std::vector<uint16_t>{0, 65409}));
  EXPECT_EQ(DecodeT1m({1, 0, 2, 0}, 4, 2), (std::vector<uint16_t>{1, 2}));
  EXPECT_EQ(DecodeT1m({5, 0, 255, 1}, 8, 3), (std::vector<uint16_t>{5, 0, 0}));
}

std::string T1mFile(const std::vector<std::string>& lines, int64_t offset,
                    const std::vector<std::string>& rows) {
  std::string f;
  for (const std::string& l : lines) f += l + "\r\n";
  if (offset >= 0) {
    f += "ENTETE " + std::to_string(offset) + "\r\n";
    f.resize(static_cast<std::size_t>(offset), ' ');
  } else {
    f.resize(1024, ' ');
  }
  for (const std::string& r : rows) {
    PutLE(f, r.size(), 2);
    f += r;
  }
  return f;
}

TEST(T1mImage, RowsBottomFirstWithTheHeaderKeys) {
  ScratchDir dir;
  using namespace std::string_literals;
  const std::string top = "\x10\x00\x80"s, bottom = "\x01\x00\x02\x00"s; // 4-bit, plain
  const std::string file =
      T1mFile({"Largeur 2", "Longueur 2", "4 bits", "  T1M date 2024 3 15", "T1M UTC 12 30 45",
               "Pose = 2.5", "Filtre R", "Acquisition manuelle", "M51 DH 710B camera"},
              600, {bottom, top});
  const RunResult r = Convert("a.t1m", file);
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Nph=2\nNpv=2\nNbp=4\n")) << r.Console;
  EXPECT_TRUE(r.Has("Ftr=R\n")) << r.Console;
  const FitsImage img = ReadFits("a.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{16, 17}));
  EXPECT_EQ(img.TopRow(1), (std::vector<int64_t>{1, 2}));
  EXPECT_NE(img.Card("DATE-OBS").find("2024-03-15T12:30:45"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("EXPTIME").find("2.5"), std::string::npos) << img.Header;
  EXPECT_NE(img.Header.find("COMMENT   Acquisition manuelle"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("DETECTOR").find("DH 710B camera"), std::string::npos) << img.Header;
}

TEST(T1mImage, DataOffsetAndCompressionChecks) {
  ScratchDir dir;
  using namespace std::string_literals;
  // Without ENTETE the rows start at 1024.
  RunResult r = Convert("o.t1m", T1mFile({"LARGEUR 1", "LONGUEUR 1", "8 BITS"}, -1, {"\x07\x00"s}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFits("o.fit").TopRow(0), (std::vector<int64_t>{7}));
  for (const char* bits : {"12 BITS", "nothing"}) {
    SCOPED_TRACE(bits);
    r = Convert("c.t1m", T1mFile({"LARGEUR 1", "LONGUEUR 1", bits}, 200, {"\x07\x00"s}));
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(r.Has("Compression pas support\u00e9e\n")) << r.Console;
  }
}

} // namespace
} // namespace korv
