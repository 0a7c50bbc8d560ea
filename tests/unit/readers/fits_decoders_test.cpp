// Row decoders of FITS data, on hand-built streams and against the row encoders.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "output/byte_sink.h"
#include "output/prev_pixel.h"
#include "output/prof_var.h"
#include "readers/fits/data_source.h"
#include "readers/fits/prev_pixel_decoder.h"
#include "readers/fits/prof_var_decoder.h"
#include "readers/fits/rice_decoder.h"
#include "readers/fits/tile_compressed.h"

namespace korv {
namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<uint16_t>;

// Collects what an encoder emits.
struct Collected {
  Bytes data;
  std::array<uint8_t, 64> staging{};
  ByteSink sink{staging, 60, &Append, this};
  static void Append(void* self, const uint8_t* p, std::size_t n) {
    static_cast<Collected*>(self)->data.insert(static_cast<Collected*>(self)->data.end(), p, p + n);
  }
};

// Most significant bit first, as the Rice streams are read.
struct BitWriter {
  Bytes bytes;
  int used = 8;
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      if ((value >> i) & 1u) bytes.back() |= static_cast<uint8_t>(0x80u >> used);
      ++used;
    }
  }
  void Put(const std::string& bits) {
    for (char c : bits) Put(c == '1' ? 1u : 0u, 1);
  }
};

Samples DecodePrevPixel(const Bytes& in, std::size_t width, std::size_t rows = 1) {
  DataSource src(in);
  int16_t predictor = 0;
  Samples out(width * rows);
  for (std::size_t r = 0; r < rows; ++r)
    DecodePrevPixelRow(src, predictor, std::span<uint16_t>(out).subspan(r * width, width));
  return out;
}

TEST(FitsDecoders, PrevPixelDifferencesAndEscapes) {
  EXPECT_EQ(DecodePrevPixel({255, 3, 232, 132, 22, 127}, 4), (Samples{1000, 1005, 900, 900}));
  EXPECT_EQ(DecodePrevPixel({255, 3, 232, 255, 4, 176}, 2), (Samples{1000, 1200}));
  // Differences wrap modulo 65536 and samples above 32767 survive.
  EXPECT_EQ(DecodePrevPixel({255, 255, 255, 128, 255, 0, 0, 126}, 4),
            (Samples{65535, 0, 0, 65535}));
  // The running sample carries from one row into the next.
  EXPECT_EQ(DecodePrevPixel({255, 0, 10, 137, 117, 127}, 2, 2), (Samples{10, 20, 10, 10}));
}

TEST(FitsDecoders, PrevPixelEscapeCutByEndOfData) {
  const Bytes cut = {255, 7};
  DataSource src(cut);
  int16_t predictor = 5;
  Samples out(3, 99);
  DecodePrevPixelRow(src, predictor, out);
  EXPECT_EQ(out, (Samples{7 * 256, 7 * 256 - 127, 7 * 256 - 254}));
  EXPECT_TRUE(src.Overran());
}

TEST(FitsDecoders, PrevPixelMatchesTheEncoder) {
  std::mt19937 rng(7);
  for (std::size_t width : {1u, 2u, 7u, 8u, 9u, 1000u}) {
    SCOPED_TRACE(width);
    Samples rows;
    Collected c;
    for (int r = 0; r < 4; ++r) {
      Samples row(width);
      for (auto& s : row) s = r == 0 ? 0 : r == 1 ? 65535 : static_cast<uint16_t>(rng() >> (r * 4));
      EncodePrevPixelRow(row, c.sink);
      rows.insert(rows.end(), row.begin(), row.end());
    }
    c.sink.Flush();
    DataSource src(c.data);
    int16_t predictor = 0;
    Samples out(rows.size());
    for (int r = 0; r < 4; ++r)
      DecodePrevPixelRow(src, predictor, std::span<uint16_t>(out).subspan(r * width, width));
    EXPECT_EQ(out, rows);
    EXPECT_FALSE(src.Overran());
  }
}

TEST(FitsDecoders, ProfVarFirstRowExample) {
  Bytes in = {128, 4, 0, 0, 1, 3, 1, 3};
  for (int p = 3; p < 16; ++p) in.insert(in.end(), {128, 4, 0, 0});
  DataSource src(in);
  ProfVarCarry carry;
  Samples out(4);
  Bytes scratch(ProfVarPlaneScratch(4));
  DecodeProfVarRow(src, carry, out, scratch);
  EXPECT_EQ(out, (Samples{3, 3, 3, 3}));
  EXPECT_EQ(carry.Sample0, 3);
  EXPECT_EQ(carry.Sample1, 3);
  EXPECT_TRUE(src.AtEnd());
  EXPECT_FALSE(src.Overran());
}

TEST(FitsDecoders, ProfVarMatchesTheEncoderAcrossRows) {
  std::mt19937 rng(11);
  for (std::size_t width : {1u, 2u, 7u, 8u, 9u, 300u, 30000u}) {
    SCOPED_TRACE(width);
    Collected c;
    ProfVarPredictors pred;
    Bytes scratch(ProfVarScratchBytes(width));
    Samples rows;
    for (int r = 0; r < 5; ++r) {
      Samples row(width);
      for (std::size_t i = 0; i < width; ++i)
        row[i] = r == 0   ? 1234
                 : r == 1 ? (i % 2 ? 65535 : 0)
                 : r == 2 ? static_cast<uint16_t>(rng())
                          : static_cast<uint16_t>(rng() & 15);
      EncodeProfVarRow(row, static_cast<uint16_t>(width), pred, scratch, c.sink);
      rows.insert(rows.end(), row.begin(), row.end());
    }
    c.sink.Flush();
    DataSource src(c.data);
    ProfVarCarry carry;
    Samples out(rows.size());
    Bytes planes(ProfVarPlaneScratch(width));
    for (int r = 0; r < 5; ++r)
      DecodeProfVarRow(src, carry, std::span<uint16_t>(out).subspan(r * width, width), planes);
    EXPECT_EQ(out, rows);
    EXPECT_TRUE(src.AtEnd());
    EXPECT_FALSE(src.Overran());
  }
}

TEST(FitsDecoders, ProfVarHostileRecordsStayInTheRow) {
  // A run claiming 65535 bytes for a one-byte plane, a literal longer than the
  // plane, a zero-length long literal, then the end of the data.
  Bytes in = {128, 255, 255, 0xFF, 0, 0, 0, 9, 127, 1, 2, 3};
  DataSource src(in);
  ProfVarCarry carry;
  Samples out(5, 77);
  Bytes scratch(ProfVarPlaneScratch(50));
  DecodeProfVarRow(src, carry, out, scratch);
  EXPECT_TRUE(src.Overran());
  // Random bytes: whatever they say, the decoder fills exactly the row.
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    Bytes noise(rng() % 400);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    DataSource s(noise);
    Samples row(1 + rng() % 50);
    DecodeProfVarRow(s, carry, row, scratch);
  }
}

Samples DecodeRice(const Bytes& in, int k, int m, std::size_t n, int16_t start = 0) {
  DataSource src(in);
  RiceStream rs;
  rs.K = k;
  rs.M = m;
  int16_t predictor = start;
  Samples out(n);
  DecodeRiceRow(src, rs, predictor, out);
  return out;
}

TEST(FitsDecoders, RiceStreamPrefixesAndEscapes) {
  // k = 0, m = 2: "1" keeps, "01" subtracts 1, "001" adds 1, "0001"+16 bits and
  // "0000"+16 bits set the sample.
  BitWriter w;
  w.Put("1");
  w.Put("01");
  w.Put("001");
  w.Put("0001");
  w.Put(0x1234, 16);
  w.Put("0000");
  w.Put(0xFFFE, 16);
  w.Put("01");
  EXPECT_EQ(DecodeRice(w.bytes, 0, 2, 6, 100), (Samples{100, 99, 100, 0x1234, 0xFFFE, 0xFFFD}));
  // k = 2: u = q * 4 + low bits; u = 6 adds 3, u = 5 subtracts 3.
  BitWriter v;
  v.Put("0110");
  v.Put("0101");
  EXPECT_EQ(DecodeRice(v.bytes, 2, 4, 2, 10), (Samples{13, 10}));
}

TEST(FitsDecoders, RiceBitsRunOnAcrossRows) {
  BitWriter w;
  w.Put("010101001");
  DataSource src(w.bytes);
  RiceStream rs;
  rs.M = 2;
  int16_t predictor = 50;
  Samples a(3), b(1);
  DecodeRiceRow(src, rs, predictor, a);
  DecodeRiceRow(src, rs, predictor, b);
  EXPECT_EQ(a, (Samples{49, 48, 47}));
  EXPECT_EQ(b, (Samples{48}));
}

TEST(FitsDecoders, RiceEndOfDataReadsAsEscapeToZero) {
  BitWriter w;
  w.Put("0001");
  w.Put(0x12, 8); // escape cut by the end of the data: the sample's low byte is missing
  EXPECT_EQ(DecodeRice(w.bytes, 0, 2, 3, 9), (Samples{0x1200, 0, 0}));
  // A huge prefix limit over an empty stream must not spin through the zeros.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DecodeRice({}, 31, 2147483647, 30000, 5), Samples(30000, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

// A RICE_1 tile written bit by bit: first pixel raw, then blocks.
TEST(FitsDecoders, RiceTileBlockKinds) {
  BitWriter w;
  w.Put(100, 16);          // first pixel
  w.Put(0, 4);             // block 1 (4 pixels): fs = -1, all equal to 100
  w.Put(15, 4);            // block 2: fs = 14, raw zig-zag differences
  w.Put(2 * 1000, 16);     //   +1000 -> 1100
  w.Put(2 * 1100 - 1, 16); //   -1100 -> 0
  w.Put(2 * 32767, 16);    //   +32767
  w.Put(1, 16);            //   -1 -> 32766
  w.Put(2, 4);             // block 3 (2 pixels): fs = 1
  w.Put("1");
  w.Put(1, 1); // q = 0, low 1: mapped 1 -> -1 -> 32765
  w.Put("001");
  w.Put(0, 1); // q = 2: mapped 4 -> +2 -> 32767
  std::vector<int32_t> out(10, -5);
  ASSERT_TRUE(DecodeRiceTile(w.bytes, 4, 2, out));
  EXPECT_EQ(out, (std::vector<int32_t>{100, 100, 100, 100, 1100, 0, 32767, 32766, 32765, 32767}));

  // Eight-bit pixels are unsigned, and wrap modulo 256.
  BitWriter b;
  b.Put(250, 8);
  b.Put(7, 3); // fs = 6: raw 8-bit differences
  b.Put(0, 8);
  b.Put(2 * 10, 8);
  std::vector<int32_t> bytes(2);
  ASSERT_TRUE(DecodeRiceTile(b.bytes, 32, 1, bytes));
  EXPECT_EQ(bytes, (std::vector<int32_t>{250, 4}));
}

TEST(FitsDecoders, RiceTileMalformedStreams) {
  BitWriter w;
  w.Put(5, 32);
  w.Put(31, 5); // fs = 30 > 25: no such block code
  std::vector<int32_t> out(8, 3);
  EXPECT_FALSE(DecodeRiceTile(w.bytes, 32, 4, out));
  EXPECT_EQ(out, std::vector<int32_t>(8, 0));
  // Cut short inside the Rice-coded differences.
  BitWriter t;
  t.Put(5, 16);
  t.Put(3, 4);
  std::vector<int32_t> cut(64, 3);
  EXPECT_FALSE(DecodeRiceTile(t.bytes, 32, 2, cut));
  EXPECT_FALSE(DecodeRiceTile({}, 32, 8, cut));
}

TEST(FitsDecoders, TileCardsOfARiceTable) {
  TileCompression tc;
  const std::pair<const char*, const char*> cards[] = {{"NAXIS1", "16"},
                                                       {"NAXIS2", "300"},
                                                       {"PCOUNT", "66896"},
                                                       {"TFIELDS", "3"},
                                                       {"TTYPE1", "COMPRESSED_DATA"},
                                                       {"TFORM1", "1PB(120)"},
                                                       {"TTYPE2", "ZSCALE"},
                                                       {"TFORM2", "1D"},
                                                       {"TTYPE3", "ZZERO"},
                                                       {"TFORM3", "1D"},
                                                       {"ZIMAGE", "T"},
                                                       {"ZBITPIX", "-32"},
                                                       {"ZNAXIS", "2"},
                                                       {"ZNAXIS1", "440"},
                                                       {"ZNAXIS2", "300"},
                                                       {"ZTILE1", "440"},
                                                       {"ZTILE2", "1"},
                                                       {"ZCMPTYPE", "'RICE_1  '"},
                                                       {"ZNAME1", "BLOCKSIZE"},
                                                       {"ZVAL1", "16"},
                                                       {"ZVAL2", "2"},
                                                       {"ZNAME2", "BYTEPIX"},
                                                       {"ZQUANTIZ", "NO_DITHER"}};
  for (const auto& [k, v] : cards) NoteTileCard(tc, k, v);
  EXPECT_TRUE(tc.IsImage);
  EXPECT_EQ(tc.Type.view(), "RICE_1");
  EXPECT_EQ(tc.BlockSize, 16);
  EXPECT_EQ(tc.BytePix, 2);
  EXPECT_EQ(tc.CompressedColumn, 0);
  EXPECT_EQ(tc.ZScaleColumn, 1);
  EXPECT_EQ(tc.ColumnOffset[1], 8);
  EXPECT_EQ(tc.ColumnOffset[2], 16);
  EXPECT_EQ(tc.ColumnType[0], 'P');
  EXPECT_TRUE(TileSupportProblem(tc).empty());

  TileCompression other = tc;
  other.Quantize = "SUBTRACTIVE_DITHER_2";
  EXPECT_TRUE(TileSupportProblem(other).empty());
  other.Quantize = "LINEAR_7";
  EXPECT_EQ(TileSupportProblem(other).view(), "LINEAR_7");
  other = tc;
  other.Type = "GZIP_1";
  EXPECT_EQ(TileSupportProblem(other).view(), "GZIP_1");
  other = tc;
  other.ZTile1 = 100;
  EXPECT_EQ(TileSupportProblem(other).view(), "ZTILE1");
}

} // namespace
} // namespace korv
