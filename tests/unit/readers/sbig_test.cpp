// ST-x camera images through whole runs, and the row decoder on its own:
// header keys and their units, plain and compressed rows, damaged rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "readers/instrument/sbig_row_decoder.h"
#include "tests/unit/readers/instrument_files.h"

namespace korv {
namespace {

using namespace insttest;
using test::ScratchDir;

std::vector<uint16_t> Decode(const std::vector<uint8_t>& bytes, std::size_t width) {
  std::vector<uint16_t> row(width, 0xEEEE);
  DecodeSbigRow(bytes, row);
  return row;
}

TEST(SbigRowDecoder, DifferencesEscapesAndPlainRows) {
  // Six bytes for four samples: a difference, then an escape.
  EXPECT_EQ(Decode({0x10, 0x00, 0x05, 0x80, 0x00, 0x01}, 4),
            (std::vector<uint16_t>{16, 21, 256, 0}));
  // The same six bytes for three samples are a plain row, as the camera stores
  // a row that compression would not shorten.
  EXPECT_EQ(Decode({0x10, 0x00, 0x05, 0x80, 0x00, 0x01}, 3),
            (std::vector<uint16_t>{16, 0x8005, 0x0100}));
  // Negative differences, and wrapping below zero as 16-bit arithmetic does.
  EXPECT_EQ(Decode({0x02, 0x00, 0xFF, 0xFE}, 3), (std::vector<uint16_t>{2, 1, 65535}));
  // Exactly two bytes per sample: plain little-endian samples, 0x80 included.
  EXPECT_EQ(Decode({0x80, 0x00, 0x05, 0x80}, 2), (std::vector<uint16_t>{0x0080, 0x8005}));
  // Bytes that end early leave zeros, an escape cut short included.
  EXPECT_EQ(Decode({0x10, 0x00, 0x01, 0x80, 0x00}, 4), (std::vector<uint16_t>{16, 17, 0, 0}));
  EXPECT_EQ(Decode({0x10}, 2), (std::vector<uint16_t>{0, 0}));
}

std::vector<uint16_t> Ramp(uint32_t w, uint32_t h) {
  std::vector<uint16_t> s(w * h);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<uint16_t>(1000 + (i % 7) * 3 + (i % 5 == 0 ? 20000 : 0));
  return s;
}

std::vector<int64_t> Picture(const FitsImage& img) {
  std::vector<int64_t> v;
  for (long r = 0; r < img.Height; ++r) {
    const auto row = img.TopRow(r);
    v.insert(v.end(), row.begin(), row.end());
  }
  return v;
}

TEST(SbigImage, PlainAndCompressedRowsGiveTheSameSamples) {
  ScratchDir dir;
  SbigImage s;
  s.Width = 37;
  s.Height = 5;
  s.Samples = Ramp(37, 5);
  const std::vector<int64_t> expected(s.Samples.begin(), s.Samples.end());
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    s.Compressed = compressed;
    const RunResult r = Convert("a.st7", s.Bytes());
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_EQ(r.Has("Cod=Compress\u00e9\n"), compressed) << r.Console;
    const FitsImage img = ReadFits("a.fit");
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(Picture(img), expected);
  }
}

TEST(SbigImage, HeaderKeysAndTheirUnits) {
  ScratchDir dir;
  SbigImage s;
  s.Samples = Ramp(3, 2);
  s.ExtraLines = {"Exposure = 1500", "Focal_length = 80", "Date = 01/02/05",
                  "Time = 03:04:05", "X_pixel_size = 0.0090", "E_Gain = 2.3",
                  "Observer = Jane Doe"};
  RunResult r = Convert("h.st8", s.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFits("h.fit");
  EXPECT_NE(img.Card("DATE-OBS").find("2005-01-02T03:04:05"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("EXPTIME").find("15.0"), std::string::npos) << img.Header;
  EXPECT_NE(img.Header.find("2032"), std::string::npos) << img.Header; // 80 inches
  EXPECT_NE(img.Card("OBSERVER").find("JANE DOE"), std::string::npos) << img.Header;
  s.ExtraLines = {"Focal_length = 2000"};
  r = Convert("g.st8", s.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(ReadFits("g.fit").Header.find("2000"), std::string::npos);
}

TEST(SbigImage, DamagedFilesStopWithTheirReason) {
  ScratchDir dir;
  SbigImage s;
  s.Samples = Ramp(3, 2);
  std::string file = s.Bytes();
  file.replace(file.find("File_version = 3"), 16, "File_version = 4");
  RunResult r = Convert("v.st7", file);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Caract\u00e9ristiques de la version 4 non-publi\u00e9es !")) << r.Console;

  // A compressed row longer than a plain one.
  s.Compressed = true;
  file = s.Bytes();
  file[2048] = 7;
  r = Convert("l.st7", file);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Longueur erron\u00e9e")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("l.fit"));

  // Missing geometry, and a geometry the file cannot hold.
  s.Compressed = false;
  file = s.Bytes();
  file.replace(file.find("Width = 3"), 9, "Wxdth = 3");
  r = Convert("w.st7", file);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Taille d'image incorrecte : 0 x 2")) << r.Console;
  s.Width = 30000;
  s.Height = 3000;
  s.Samples.assign(30000 * 3000, 0);
  file = s.Bytes().substr(0, 4096);
  r = Convert("t.st7", file);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Fichier tronqu\u00e9")) << r.Console;
}

TEST(SbigImage, TruncatedRowsAreZeros) {
  ScratchDir dir;
  SbigImage s;
  s.Width = 4;
  s.Height = 3;
  s.Samples = Ramp(4, 3);
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    s.Compressed = compressed;
    const std::string file = s.Bytes();
    const RunResult r = Convert("z.st7", file.substr(0, file.size() - (compressed ? 9 : 8)));
    EXPECT_EQ(r.Status, 3) << r.Console;
    const FitsImage img = ReadFits("z.fit");
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(img.TopRow(2), (std::vector<int64_t>{0, 0, 0, 0}));
    EXPECT_EQ(img.TopRow(0)[0], s.Samples[0]);
  }
}

} // namespace
} // namespace korv
