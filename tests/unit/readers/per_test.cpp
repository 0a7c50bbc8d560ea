// PER files: rows rebuilt from 16 x 16 tiles, the unused right-hand columns,
// header refusals and tiles missing from a short file.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::misc_raster::AppendLE;
using test::misc_raster::ConvertFile;
using test::misc_raster::FitsImage;
using test::misc_raster::RasterRun;
using test::misc_raster::ReadFitsImage;
using test::ScratchDir;

// Tile data byte at file offset o: a value that differs between neighbours.
uint8_t ByteAt(std::size_t o) { return static_cast<uint8_t>((o * 7 + o / 256) & 0xFF); }

std::string Per(uint16_t width, uint16_t height, std::size_t tileBytes,
                uint32_t signature = 0x00030001) {
  std::string s;
  AppendLE(s, signature, 4);
  s.resize(14, '\0');
  AppendLE(s, height, 2);
  AppendLE(s, 0, 2);
  AppendLE(s, width, 2);
  s.resize(1280, '\0');
  for (std::size_t i = 0; i < tileBytes; ++i) s.push_back(static_cast<char>(ByteAt(1280 + i)));
  return s;
}

TEST(PerTiles, RowsFromTiles) {
  ScratchDir dir;
  // 20 x 20: two tiles a tile row, four tiles in all.
  const RasterRun r = ConvertFile("t.per", Per(20, 20, 4 * 256));
  EXPECT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFitsImage("t.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Width, 20);
  EXPECT_EQ(img.Height, 20);
  EXPECT_EQ(img.Bitpix, 8);
  EXPECT_EQ(img.Top(17, 3), ByteAt(1811));
  for (long y = 0; y < 20; ++y) {
    for (long x = 0; x < 20; ++x) {
      const std::size_t tile = static_cast<std::size_t>((y / 16) * 2 + x / 16);
      const std::size_t offset = 1280 + 256 * tile + 16 * static_cast<std::size_t>(y % 16) +
                                 static_cast<std::size_t>(x % 16);
      ASSERT_EQ(img.Top(y, x), ByteAt(offset)) << "row " << y << " column " << x;
    }
  }
  EXPECT_EQ(r.Truncated.Missing, 0u);
}

TEST(PerTiles, ShortFileEndsInZeros) {
  ScratchDir dir;
  // 20 x 20 with only the first tile row and 16 bytes (one line) of the next tile.
  const RasterRun r = ConvertFile("s.per", Per(20, 20, 2 * 256 + 16));
  EXPECT_EQ(r.Status, 3) << r.Console;
  // Rows 16..19: columns 16..19 of all four, columns 0..15 of rows 17..19.
  EXPECT_EQ(r.Truncated.Missing, 4u * 4 + 3u * 16);
  const FitsImage img = ReadFitsImage("s.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Top(16, 15), ByteAt(1280 + 512 + 15));
  EXPECT_EQ(img.Top(16, 16), 0);
  EXPECT_EQ(img.Top(17, 0), 0);
}

TEST(PerTiles, Refusals) {
  ScratchDir dir;
  struct Case {
    const char* Name;
    std::string Bytes;
    const char* Message;
  };
  const std::vector<Case> cases = {
      {"sig", Per(16, 16, 256, 0x00030002), "Pas du PER !"},
      {"short", std::string("\x01\x00\x03\x00", 4), "Taille d'image incorrecte : 0 x 0"},
      {"empty", "", "Pas du PER !"},
      {"nowidth", Per(0, 16, 256), "Taille d'image incorrecte : 0 x 16"},
      {"noheight", Per(16, 0, 256), "Taille d'image incorrecte : 16 x 0"},
      {"wide", Per(30001, 1, 256), "Taille d'image incorrecte : 30001 x 1"},
      // A header claiming a huge image over one tile.
      {"huge", Per(30000, 65535, 256), "Fichier tronqu\u00e9 : 1874 Mo de l'image manquent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const RasterRun r = ConvertFile(std::string(c.Name) + ".per", c.Bytes);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_TRUE(r.Has(c.Message)) << r.Console;
    EXPECT_FALSE(std::filesystem::exists(std::string(c.Name) + ".fit"));
  }
}

} // namespace
} // namespace korv
