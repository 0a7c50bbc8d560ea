// PNM reader through whole runs: header parsing, sample decoding, row order in
// the FITS file, and the stops and zero fill on damaged files.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;
using namespace std::string_literals;

struct RunResult {
  int Status = -1;
  std::string Console;
};

RunResult Convert(const std::string& name, const std::string& bytes,
                  const std::vector<std::string>& options = {}) {
  WriteFile(name, bytes);
  std::vector<std::string> args = {"korvalix", name};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  RunResult r;
  r.Status = Run(args, out);
  r.Console = out.str();
  return r;
}

// The primary image of a FITS file as values, in file order (bottom row first).
struct FitsImage {
  bool Valid = false;
  long Bitpix = 0;
  long Width = 0;
  long Height = 0;
  double Bzero = 0;
  std::vector<int64_t> Values;
  int64_t At(long column, long fitsRow) const { return Values.at(fitsRow * Width + column); }
};

FitsImage ReadFits(const std::string& path) {
  FitsImage img;
  const std::string f = ReadFile(path);
  std::size_t pos = 0;
  bool end = false;
  for (; pos + 80 <= f.size() && !end; pos += 80) {
    const std::string card = f.substr(pos, 80);
    const std::string key = card.substr(0, 8);
    const std::string value = card.size() > 10 ? card.substr(10, 20) : "";
    if (key == "END     ") end = true;
    if (key == "BITPIX  ") img.Bitpix = std::stol(value);
    if (key == "NAXIS1  ") img.Width = std::stol(value);
    if (key == "NAXIS2  ") img.Height = std::stol(value);
    if (key == "BZERO   ") img.Bzero = std::stod(value);
  }
  if (!end) return img;
  const std::size_t data = (pos + 2879) / 2880 * 2880;
  const std::size_t bytes = img.Bitpix == 8 ? 1 : img.Bitpix == 16 ? 2 : 0;
  const std::size_t count = static_cast<std::size_t>(img.Width * img.Height);
  if (bytes == 0 || data + count * bytes > f.size()) return img;
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(f.data() + data + i * bytes);
    int64_t v = bytes == 1 ? p[0] : static_cast<int16_t>((p[0] << 8) | p[1]);
    img.Values.push_back(v + static_cast<int64_t>(img.Bzero));
  }
  img.Valid = true;
  return img;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

TEST(PnmHeader, CommentsBetweenEveryField) {
  ScratchDir dir;
  const std::string bytes = std::string("P5\n# made here\n#second line\n3\n# between\n2 # end\n"
                                        "255\n") +
                            "\x01\x02\x03\x04\x05\x06"s;
  const RunResult r = Convert("c.pgm", bytes);
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("c.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 8);
  EXPECT_EQ(img.Width, 3);
  EXPECT_EQ(img.Height, 2);
  EXPECT_EQ(img.At(0, 1), 1); // input row 0 is the last FITS row
  EXPECT_EQ(img.At(2, 0), 6);
}

TEST(PnmHeader, CommentGluedToDigitsContinuesTheNumber) {
  ScratchDir dir;
  // "1#...\n2" is the width 12.
  std::string bytes = "P5 1#note\n2 1 255\n";
  bytes += std::string(12, '\x09');
  const RunResult r = Convert("g.pgm", bytes);
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("g.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 12);
  EXPECT_EQ(img.Height, 1);
  EXPECT_EQ(img.At(11, 0), 9);
}

TEST(PnmHeader, TabInsideCommentDoesNotEndIt) {
  ScratchDir dir;
  // Comments run to the end of their line; the 9 after the TAB is comment text.
  const RunResult r = Convert("t.pgm", "P2\n# written by\ttool 9\n2 1\n255\n7 8\n");
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("t.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 2);
  EXPECT_EQ(img.At(0, 0), 7);
  EXPECT_EQ(img.At(1, 0), 8);
}

TEST(PnmHeader, TranscriptShowsVariantAndWeights) {
  ScratchDir dir;
  RunResult r = Convert("a.pgm", "P5 1 1 255\n\x10"s);
  EXPECT_NE(r.Console.find("Tdo=5\n"), std::string::npos) << r.Console;
  EXPECT_NE(r.Console.find("rvb={0.299,0.587,0.114}\n"), std::string::npos) << r.Console;
  // Bit maps have no maxval and print no weights.
  r = Convert("b.pbm", "P4 1 1\n\x80"s);
  EXPECT_NE(r.Console.find("Tdo=4\n"), std::string::npos) << r.Console;
  EXPECT_EQ(r.Console.find("rvb="), std::string::npos) << r.Console;
  // Weight options are shown as the reader uses them.
  r = Convert("c.ppm", "P3 1 1 255 10 20 30\n", {"R"});
  EXPECT_NE(r.Console.find("rvb={1.000,0.000,0.000}\n"), std::string::npos) << r.Console;
  const FitsImage img = ReadFits("c.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.At(0, 0), 10);
}

TEST(PnmSamples, TextVariants) {
  ScratchDir dir;
  // Plain bit maps are written with or without blanks: each digit is a pixel.
  RunResult r = Convert("p1.pbm", "P1\n6 1\n0110 1\n0");
  EXPECT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFits("p1.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 8);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{0, 255, 255, 0, 255, 0}));

  // A text sample wraps modulo 65536 while it is parsed.
  r = Convert("p2.pgm", "P2 2 1 65535\n70000 65535\n");
  EXPECT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("p2.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 16);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{4464, 65535}));

  // Colour in single precision: 255 * 0.299 = 76.245.
  r = Convert("p3.ppm", "P3 2 1 255\n255 0 0  0 0 255\n");
  EXPECT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("p3.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{76, 29}));
}

TEST(PnmSamples, BinaryVariants) {
  ScratchDir dir;
  // Bit 7 first; each row starts on a fresh byte (width 10: two bytes a row).
  RunResult r = Convert("p4.pbm", "P4 10 2\n\xA0\x40\x01\xFF"s);
  EXPECT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFits("p4.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 8);
  const std::vector<int64_t> top = {255, 0, 255, 0, 0, 0, 0, 0, 0, 255};
  const std::vector<int64_t> bottom = {0, 0, 0, 0, 0, 0, 0, 255, 255, 255};
  EXPECT_EQ(std::vector<int64_t>(img.Values.begin() + 10, img.Values.end()), top);
  EXPECT_EQ(std::vector<int64_t>(img.Values.begin(), img.Values.begin() + 10), bottom);

  // 16-bit big-endian words, not rescaled by maxval.
  r = Convert("p5.pgm", "P5 2 1 65535\n\x12\x34\xFF\xFF"s);
  EXPECT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("p5.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 16);
  EXPECT_EQ(img.Bzero, 32768);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{4660, 65535}));

  r = Convert("m.pgm", "P5 1 1 1023\n\x03\xFF"s);
  img = ReadFits("m.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{1023}));

  // Colour with the default weights, 8 and 16 bits.
  r = Convert("p6.ppm", "P6 2 1 255\n\xFF\x00\x00\xFF\xFF\xFF"s);
  EXPECT_EQ(r.Status, 0) << r.Console;
  img = ReadFits("p6.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{76, 255}));

  r = Convert("w.ppm", "P6 1 1 65535\n\xFF\xFF\x00\x00\x00\x00"s);
  img = ReadFits("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{19595})); // 65535 * 0.299 = 19594.97
}

TEST(PnmSamples, RowsAreStoredBottomFirst) {
  ScratchDir dir;
  const RunResult r = Convert("o.pgm", "P5 2 3 255\n\x01\x02\x03\x04\x05\x06"s);
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("o.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (std::vector<int64_t>{5, 6, 3, 4, 1, 2}));
}

TEST(PnmLimits, WidthLimit) {
  ScratchDir dir;
  RunResult r = Convert("w.pgm", "P5 30000 1 255\n" + std::string(30000, '\x07'));
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 30000);
  EXPECT_EQ(img.At(29999, 0), 7);

  r = Convert("x.pgm", "P5 30001 1 255\n" + std::string(30001, '\x07'));
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_FALSE(Exists("x.fit"));
}

TEST(PnmLimits, MalformedHeadersStop) {
  const struct {
    const char* Name;
    std::string Bytes;
    bool VariantLine; // the "Tdo=" line comes before the stop
  } cases[] = {
      {"wrong magic", "Q5 2 2 255\n1234", false},
      {"empty file", "", false},
      {"variant 0", "P0 2 2 255\n1234", true},
      {"variant 7", "P7 2 2 255\n1234", true},
      {"zero width", "P5 0 2 255\n1234", true},
      {"zero height", "P2 2 0 255\n1 2", true},
      {"header cut after the magic", "P", true},
      {"endless comment", "P5 2 # " + std::string(200000, 'x'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ScratchDir dir;
    const RunResult r = Convert("bad.pgm", c.Bytes);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_EQ(r.Console.find("Tdo=") != std::string::npos, c.VariantLine) << r.Console;
    EXPECT_FALSE(Exists("bad.fit"));
  }
}

TEST(PnmLimits, ShortDataReadsAsZerosAndIsReported) {
  ScratchDir dir;
  // Each case: the rows the file holds only in part or not at all are counted
  // (status 3, one console line, a header card); the samples are zeros.
  const struct {
    const char* Name;
    std::string Bytes;
    std::vector<int64_t> Values; // bottom row first
    const char* Missing;         // "k of n"
  } cases[] = {
      {"s.pgm", "P5 4 2 255\n\x09\x09\x09"s, {0, 0, 0, 0, 9, 9, 9, 0}, "2 of 2"},
      // 16-bit with an odd byte count: the half word reads with a zero low byte.
      {"h.pgm", "P5 2 1 65535\n\x01\x02\x03"s, {0x0102, 0x0300}, "1 of 1"},
      {"t.pgm", "P2 3 2 255\n4 5", {0, 0, 0, 4, 5, 0}, "2 of 2"},
      // The last sample ending the file without a separator is whole.
      {"e.pgm", "P2 3 2 255\n4 5 6 7", {7, 0, 0, 4, 5, 6}, "1 of 2"},
      {"b.pbm", "P1 2 3\n01 1", {0, 0, 255, 0, 0, 255}, "2 of 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const RunResult r = Convert(c.Name, c.Bytes);
    EXPECT_EQ(r.Status, 3) << r.Console;
    const std::string k = std::string(c.Missing).substr(0, 1);
    const std::string n = std::string(c.Missing).substr(5);
    EXPECT_NE(r.Console.find("Fichier tronqu\u00e9 : " + k + (k == "1" ? " ligne" : " lignes") +
                             " sur " + n),
              std::string::npos)
        << r.Console;
    const std::string out = std::string(c.Name).substr(0, 1) + ".fit";
    const FitsImage img = ReadFits(out);
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(img.Values, c.Values);
    std::string card = "COMMENT   Input truncated: the last " + std::string(c.Missing) +
                       " rows are missing and set to 0";
    card.resize(80, ' ');
    EXPECT_NE(ReadFile(out).find(card), std::string::npos);
  }
  // A complete file is not reported.
  const RunResult whole = Convert("w.pgm", "P2 1 1 255\n4");
  EXPECT_EQ(whole.Status, 0) << whole.Console;
  EXPECT_EQ(whole.Console.find("tronqu"), std::string::npos);
}

TEST(PnmLimits, HugeImageFromTinyFileIsRefusedEarly) {
  const struct {
    const char* Name;
    std::string Bytes;
  } cases[] = {
      {"binary grey", "P5 30000 65535 65535\n\x01\x02"},
      {"binary bit map", "P4 30000 65535\n\x01"},
      {"binary colour", "P6 30000 60000 255\n\x01\x02\x03"},
      {"text grey", "P2 30000 65535 255\n1 2 3"},
      {"text bit map", "P1 30000 65535\n0101"},
      {"text colour", "P3 25000 50000 255\n1 2 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    ScratchDir dir;
    const RunResult r = Convert("big.pnm", c.Bytes);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_NE(r.Console.find("tronqu"), std::string::npos) << r.Console;
    EXPECT_EQ(r.Console.find("Sor="), std::string::npos) << r.Console;
    EXPECT_FALSE(Exists("big.fit"));
  }
}

TEST(PnmLimits, TextPaddedWithBlanksStopsOnceTheZerosGrow) {
  ScratchDir dir;
  // Enough bytes to pass the early estimate (64 rows of two bytes a sample), but
  // blanks instead of samples: the rows past the end are counted as they are
  // written and the run stops once they pass 64 MiB.
  const std::string bytes = "P2 30000 2300 255\n" + std::string(64 * 2 * 30000, ' ');
  const RunResult r = Convert("pad.pgm", bytes);
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_NE(r.Console.find("tronqu"), std::string::npos) << r.Console;
  EXPECT_FALSE(Exists("pad.fit"));
}

} // namespace
} // namespace korv
