// Output data bytes: plain samples, the PREVPIXEL and PROF-VAR row codes (byte
// for byte on small rows, round trips through reference decoders on large
// ones), the OutBytes staging and the end-of-file fill.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "output/byte_sink.h"
#include "output/fits_data.h"
#include "output/prev_pixel.h"
#include "output/prof_var.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using Bytes = std::vector<uint8_t>;

void AppendTo(void* context, const uint8_t* data, std::size_t n) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), data, data + n);
}

struct CollectingSink {
  Bytes out;
  std::vector<uint8_t> staging = std::vector<uint8_t>(OutBytesSize);
  ByteSink sink{staging, OutBytesSize - 1, AppendTo, &out};
  Bytes Take() {
    sink.Flush();
    return out;
  }
};

Bytes PrevPixel(const std::vector<uint16_t>& row) {
  CollectingSink c;
  EncodePrevPixelRow(row, c.sink);
  return c.Take();
}

Bytes ProfVarPlane(const Bytes& plane) {
  CollectingSink c;
  EncodeProfVarPlane(plane, c.sink);
  return c.Take();
}

// Reference decoders, written from the format description rather than from the encoders.
class ByteCursor {
public:
  explicit ByteCursor(const Bytes& b) : b_(b) {}
  uint8_t Next() { return pos_ < b_.size() ? b_[pos_++] : (overran_ = true, 0); }
  bool Overran() const { return overran_; }
  std::size_t Position() const { return pos_; }

private:
  const Bytes& b_;
  std::size_t pos_ = 0;
  bool overran_ = false;
};

std::vector<uint16_t> DecodePrevPixel(ByteCursor& in, std::size_t width) {
  std::vector<uint16_t> row(width);
  uint16_t p = 0;
  for (auto& v : row) {
    const uint8_t b = in.Next();
    if (b == 255) {
      const uint8_t hi = in.Next();
      p = static_cast<uint16_t>(hi << 8 | in.Next());
    } else {
      p = static_cast<uint16_t>(p + b - 127);
    }
    v = p;
  }
  return row;
}

std::vector<uint16_t> DecodeProfVar(ByteCursor& in, std::size_t width, ProfVarPredictors& carry) {
  std::vector<uint16_t> z(width, 0);
  for (unsigned k = 0; k < 16; ++k) {
    unsigned counter = 0;
    bool run = false;
    uint8_t repeated = 0;
    uint8_t current = 0;
    std::size_t x = 0;
    while (x < width) {
      if (x % 8 == 0) {
        if (counter == 0) {
          const uint8_t h = in.Next();
          run = h >= 128;
          counter = h & 127u;
          if (counter == 0) {
            counter = in.Next();
            counter |= unsigned{in.Next()} << 8;
          }
          if (run) repeated = in.Next();
        }
        current = run ? repeated : in.Next();
        --counter;
      }
      if (current == 0) {
        x = (x / 8 + 1) * 8;
      } else {
        if (current & 1u) z[x] = static_cast<uint16_t>(z[x] | (1u << k));
        current >>= 1;
        ++x;
      }
    }
  }
  std::vector<uint16_t> row(width);
  uint16_t even = carry.PrevOdd;
  uint16_t odd = carry.PrevEven;
  for (std::size_t i = 0; i < width; ++i) {
    const uint16_t d = (z[i] & 1u) ? static_cast<uint16_t>(~(z[i] >> 1)) : z[i] >> 1;
    uint16_t& p = (i % 2 == 0) ? even : odd;
    p = static_cast<uint16_t>(p + d);
    row[i] = p;
  }
  carry.PrevEven = width > 0 ? row[0] : 0;
  carry.PrevOdd = width > 1 ? row[1] : 0;
  return row;
}

// Sky-like rows: smooth background, noise, a few saturated stars and dark columns.
std::vector<std::vector<uint16_t>> SkyRows(std::size_t width, std::size_t height, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 30.0);
  std::vector<std::vector<uint16_t>> rows(height, std::vector<uint16_t>(width));
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < width; ++x) {
      double v = 1200 + 3.0 * x + 2.0 * y + noise(rng);
      if ((x * 7 + y * 13) % 97 == 0) v = 65535;
      if (x % 41 == 5) v = 0;
      rows[y][x] = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
    }
  return rows;
}

TEST(PrevPixelTest, KnownRows) {
  const struct {
    std::vector<uint16_t> row;
    Bytes bytes;
  } cases[] = {
      {{1000, 1005, 900, 900}, {255, 3, 232, 132, 22, 127}},
      {{1000, 1200}, {255, 3, 232, 255, 4, 176}},
      {{0}, {255, 0, 0}},
      // Differences of exactly +-127 still fit; +-128 are escaped.
      {{500, 627, 500, 372, 500}, {255, 1, 244, 254, 0, 255, 1, 116, 255, 1, 244}},
      {{65535, 0}, {255, 255, 255, 255, 0, 0}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.row));
    EXPECT_EQ(PrevPixel(c.row), c.bytes);
  }
}

TEST(PrevPixelTest, RoundTripsRowsWiderThanTheStagingBuffer) {
  const auto rows = SkyRows(30000, 3, 7);
  for (const auto& row : rows) {
    const Bytes b = PrevPixel(row);
    ByteCursor in(b);
    EXPECT_EQ(DecodePrevPixel(in, row.size()), row);
    EXPECT_EQ(in.Position(), b.size());
  }
}

TEST(ProfVarTest, FirstRowOfFlatSamples) {
  CollectingSink c;
  ProfVarPredictors carry;
  std::vector<uint8_t> scratch(ProfVarScratchBytes(4));
  const std::vector<uint16_t> row = {3, 3, 3, 3};
  EncodeProfVarRow(row, 4, carry, scratch, c.sink);
  Bytes expected = {128, 4, 0, 0, 1, 3, 1, 3};
  for (int k = 3; k < 16; ++k) expected.insert(expected.end(), {128, 4, 0, 0});
  EXPECT_EQ(c.Take(), expected);
  EXPECT_EQ(carry.PrevEven, 3);
  EXPECT_EQ(carry.PrevOdd, 3);
}

TEST(ProfVarTest, ZeroPlaneRecordCarriesTheInputRowLength) {
  // A binned row of 2 samples from an input row of 1000: every plane is zero.
  CollectingSink c;
  ProfVarPredictors carry;
  std::vector<uint8_t> scratch(ProfVarScratchBytes(2));
  const std::vector<uint16_t> row = {0, 0};
  EncodeProfVarRow(row, 1000, carry, scratch, c.sink);
  const Bytes b = c.Take();
  ASSERT_EQ(b.size(), 64u);
  for (std::size_t i = 0; i < b.size(); i += 4) {
    EXPECT_EQ(b[i], 128);
    EXPECT_EQ(b[i + 1], 1000 & 255);
    EXPECT_EQ(b[i + 2], 1000 >> 8);
    EXPECT_EQ(b[i + 3], 0);
  }
}

TEST(ProfVarTest, PlaneRecords) {
  const struct {
    Bytes plane;
    Bytes records;
  } cases[] = {
      {{5, 5, 5, 7}, {131, 5, 1, 7}},
      {{9, 9}, {130, 9}},
      {{9, 4}, {2, 9, 4}},
      {{1, 5, 5, 5, 7}, {2, 1, 5, 3, 5, 5, 7}},
      {{6}, {1, 6}},
      // The run stops before the last byte that differs; a trailing pair is a run.
      {{8, 8, 8, 8, 2, 2}, {132, 8, 130, 2}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.plane));
    EXPECT_EQ(ProfVarPlane(c.plane), c.records);
  }
}

TEST(ProfVarTest, LongRecordsUseTheLittleEndianCount) {
  Bytes run(300, 0x5A);
  EXPECT_EQ(ProfVarPlane(run), (Bytes{128, 300 & 255, 300 >> 8, 0x5A}));

  Bytes literal(200);
  for (std::size_t i = 0; i < literal.size(); ++i) literal[i] = static_cast<uint8_t>(i);
  Bytes expected = {0, 200, 0};
  expected.insert(expected.end(), literal.begin(), literal.end());
  EXPECT_EQ(ProfVarPlane(literal), expected);

  Bytes edge(127, 1);
  EXPECT_EQ(ProfVarPlane(edge), (Bytes{255, 1}));
  edge.push_back(1);
  EXPECT_EQ(ProfVarPlane(edge), (Bytes{128, 128, 0, 1}));
}

TEST(ProfVarTest, RoundTripsWithPredictorsCarriedAcrossRows) {
  for (const std::size_t width : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{9},
                                  std::size_t{1001}, std::size_t{30000}}) {
    SCOPED_TRACE(width);
    const auto rows = SkyRows(width, 4, static_cast<unsigned>(width));
    CollectingSink c;
    ProfVarPredictors encodeCarry;
    std::vector<uint8_t> scratch(ProfVarScratchBytes(width));
    for (const auto& row : rows)
      EncodeProfVarRow(row, static_cast<uint16_t>(width), encodeCarry, scratch, c.sink);
    const Bytes b = c.Take();
    ByteCursor in(b);
    ProfVarPredictors decodeCarry;
    for (const auto& row : rows) ASSERT_EQ(DecodeProfVar(in, width, decodeCarry), row);
    EXPECT_EQ(in.Position(), b.size());
    EXPECT_FALSE(in.Overran());
  }
}

TEST(ProfVarTest, ExtremeDifferencesMapToDistinctZigZagValues) {
  EXPECT_EQ(ZigZag(0), 0);
  EXPECT_EQ(ZigZag(0xFFFF), 1); // -1
  EXPECT_EQ(ZigZag(1), 2);
  EXPECT_EQ(ZigZag(0x7FFF), 0xFFFE);
  EXPECT_EQ(ZigZag(0x8000), 0xFFFF);
  // Alternating extremes make every plane busy.
  std::vector<uint16_t> row(64);
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = (i / 2) % 2 ? 65535 : 0;
  CollectingSink c;
  ProfVarPredictors carry;
  std::vector<uint8_t> scratch(ProfVarScratchBytes(row.size()));
  EncodeProfVarRow(row, 64, carry, scratch, c.sink);
  const Bytes b = c.Take();
  ByteCursor in(b);
  ProfVarPredictors decodeCarry;
  EXPECT_EQ(DecodeProfVar(in, row.size(), decodeCarry), row);
}

TEST(ByteSinkTest, FlushesBeforeTheThresholdIsPassed) {
  std::vector<std::size_t> chunks;
  std::array<uint8_t, 10> staging{};
  Bytes all;
  struct Record {
    std::vector<std::size_t>* chunks;
    Bytes* all;
  } record{&chunks, &all};
  ByteSink sink(staging, 4, [](void* ctx, const uint8_t* data, std::size_t n) {
    auto* r = static_cast<Record*>(ctx);
    r->chunks->push_back(n);
    r->all->insert(r->all->end(), data, data + n);
  }, &record);
  for (uint8_t i = 0; i < 5; ++i) sink.Put(i);
  const uint8_t more[6] = {5, 6, 7, 8, 9, 10};
  sink.Put(more, sizeof more);
  sink.Flush();
  sink.Flush();
  EXPECT_EQ(chunks, (std::vector<std::size_t>{4, 4, 3}));
  EXPECT_EQ(all, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(PlainRowTest, SampleBytesPerCode) {
  std::array<uint8_t, 64> out{};
  const std::vector<uint16_t> row = {0, 65535, 32768, 1};
  ASSERT_EQ(EncodePlainRow(row, 16, out), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{128, 0, 127, 255, 0, 0, 128, 1}));
  ASSERT_EQ(EncodePlainRow(row, 8, out), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0, 255, 0, 1}));
  ASSERT_EQ(EncodePlainRow(row, 32, out), 16u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0, 0, 0, 0, 0, 0, 255, 255}));
  const std::vector<uint16_t> floats = {1, 65535};
  ASSERT_EQ(EncodePlainRow(floats, 224, out), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0x3F, 0x80, 0, 0, 0x47, 0x7F, 0xFF, 0}));
}

class OutputFileTest : public ::testing::Test {
protected:
  test::ScratchDir dir;
  std::ostringstream console;
  std::unique_ptr<Conversion> cv = test::MakeConversion({"korvalix"}, console);

  void SetUp() override { ASSERT_TRUE(cv->Output.Create("out.fit", true)); }
  std::string Contents() {
    cv->Output.Close();
    return test::ReadFile("out.fit");
  }
};

TEST_F(OutputFileTest, AlignedFileGetsNoFill) {
  const std::string block(2880, 'A');
  WriteOutput(*cv, block.data(), block.size());
  PadDataSection(*cv);
  EXPECT_EQ(Contents(), block);
}

TEST_F(OutputFileTest, FillIsZeroBytesUpToTheNextBlock) {
  const std::string header(2880, ' ');
  WriteOutput(*cv, header.data(), header.size());
  const std::vector<uint16_t> row = {32768, 32768, 32768};
  WritePlainRow(*cv, row, 16);
  PadDataSection(*cv);
  const std::string data = Contents();
  ASSERT_EQ(data.size(), 5760u);
  EXPECT_EQ(data.substr(2880, 6), std::string(6, '\0'));
  EXPECT_EQ(data.substr(2886), std::string(5760 - 2886, '\0'));
}

TEST_F(OutputFileTest, CompressedRowsReachTheFileWhole) {
  // A row of alternating extremes encodes to 3 bytes a sample, three times the staging size.
  std::vector<uint16_t> row(30000);
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = i % 2 ? 65535 : 0;
  cv->State.ImageWidth = 30000;
  WritePrevPixelRow(*cv, row);
  WriteProfVarRow(*cv, row);
  EXPECT_EQ(cv->State.OutBytesFill, 0);
  EXPECT_EQ(cv->State.PrevEven, 0);
  EXPECT_EQ(cv->State.PrevOdd, 65535);
  const std::string data = Contents();
  const Bytes b(data.begin(), data.end());
  ByteCursor in(b);
  EXPECT_EQ(DecodePrevPixel(in, row.size()), row);
  ProfVarPredictors carry;
  EXPECT_EQ(DecodeProfVar(in, row.size(), carry), row);
  EXPECT_EQ(in.Position(), b.size());
}

} // namespace
} // namespace korv
