// IMC files: geometry from option I or from the file size, the header
// length, colour weighting, incomplete last rows and refusals.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::misc_raster::ConvertFile;
using test::misc_raster::FitsImage;
using test::misc_raster::RasterRun;
using test::misc_raster::ReadFitsImage;
using test::ScratchDir;
using Values = std::vector<int64_t>;

// A header of `header` bytes 'h', then `pixels` pixels: pixel k is (k, 2k, 255 - k) mod 256.
std::string Imc(std::size_t header, std::size_t pixels) {
  std::string s(header, 'h');
  for (std::size_t k = 0; k < pixels; ++k) {
    s.push_back(static_cast<char>(k & 0xFF));
    s.push_back(static_cast<char>((2 * k) & 0xFF));
    s.push_back(static_cast<char>((255 - k) & 0xFF));
  }
  return s;
}

TEST(ImcGeometry, FromOptionAndFileSize) {
  ScratchDir dir;
  const std::string vga = Imc(55, 640 * 480);
  RasterRun r = ConvertFile("v.imc", vga);
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_TRUE(r.Has("Largeur ou hauteur \u00e0 donner avec l'option I")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("v.fit"));

  r = ConvertFile("w.imc", vga, {"I640"});
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("rvb={0.299,0.587,0.114}")) << r.Console;
  FitsImage img = ReadFitsImage("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 640);
  EXPECT_EQ(img.Height, 480);
  EXPECT_EQ(img.Bitpix, 8);
  // Pixel 0 is (0, 0, 255): 255 x 0.114 = 29.07.
  EXPECT_EQ(img.Top(0, 0), 29);
  EXPECT_EQ(r.Truncated.Missing, 0u);

  // The height alone gives the width; later I options replace earlier items.
  r = ConvertFile("h.imc", Imc(55, 12), {"I9", "i,4"});
  img = ReadFitsImage("h.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 9);
  EXPECT_EQ(img.Height, 4);

  // I100 on 1050 pixels: 11 rows, the last one holding 50 pixels.
  r = ConvertFile("p.imc", Imc(55, 1050), {"I100"});
  EXPECT_EQ(r.Status, 3) << r.Console; // converted, and said to be incomplete
  img = ReadFitsImage("p.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Height, 11);
  EXPECT_EQ(r.Truncated.Missing, 50u);
  EXPECT_EQ(img.Top(10, 49), 63); // pixel 1049 = (25, 50, 230): 7.475 + 29.35 + 26.22
  EXPECT_EQ(img.Top(10, 50), 0);
}

TEST(ImcGeometry, HeaderLengthAndWeights) {
  ScratchDir dir;
  // No header: I640,480,0 reads from the first byte.
  std::string bytes = Imc(0, 4);
  RasterRun r = ConvertFile("n.imc", bytes, {"I2,2,0", "R"});
  EXPECT_EQ(r.Status, 0) << r.Console;
  FitsImage img = ReadFitsImage("n.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (Values{2, 3, 0, 1})); // red only, bottom row first

  // Items that are no unsigned number leave their value: 7 header bytes, width 2.
  r = ConvertFile("o.imc", Imc(7, 4), {"I2,x,7", "I-3,,+7"});
  img = ReadFitsImage("o.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 2);
  EXPECT_EQ(img.Height, 2);
  EXPECT_EQ(img.Top(1, 1), 33); // pixel 3 = (3, 6, 252): 0.897 + 3.522 + 28.728

  // A header longer than the file: every pixel is missing.
  r = ConvertFile("l.imc", Imc(10, 2), {"I2,2,99999"});
  EXPECT_EQ(r.Truncated.Missing, 4u) << r.Console;
  img = ReadFitsImage("l.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (Values{0, 0, 0, 0}));
}

TEST(ImcGeometry, Refusals) {
  ScratchDir dir;
  struct Case {
    std::vector<std::string> Options;
    const char* Message;
  };
  const std::vector<Case> cases = {
      {{"I30001"}, "Taille d'image incorrecte : 30001 x 1"},
      {{"I0,0"}, "Largeur ou hauteur \u00e0 donner avec l'option I"},
      {{"I4,70000"}, "Taille d'image incorrecte : 4 x 70000"},
      // A file too short for its header: no pixel, so no height.
      {{"I4,0,5000"}, "Taille d'image incorrecte : 4 x 0"},
      // Too large a number is no number: the width stays unknown.
      {{"I99999999999"}, "Largeur ou hauteur \u00e0 donner avec l'option I"},
      {{"I30000,65535"}, "Fichier tronqu\u00e9 : 1874 Mo de l'image manquent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Options.front());
    const RasterRun r = ConvertFile("r.imc", Imc(55, 30), c.Options);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_TRUE(r.Has(c.Message)) << r.Console;
    EXPECT_FALSE(std::filesystem::exists("r.fit"));
  }
}

} // namespace
} // namespace korv
