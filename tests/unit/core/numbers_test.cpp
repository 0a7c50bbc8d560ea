#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/numbers.h"

namespace korv {
namespace {

TEST(NumbersParse, CutToNumberKeepsTheLeadingNumberRun) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  12.5 km", "12.5"}, {"1,5", "1"}, {"-3e4x", "-3e4"}, {"abc", ""}, {"   ", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    Text t(in);
    CutToNumber(t);
    EXPECT_EQ(t.str(), out);
  }
}

TEST(NumbersParse, ParseInteger) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {" 12abc", 12},      {"-7", -7},           {"+8", 8},         {"1.5", 0},
      {"1E3", 0},          {"", 0},              {"-", 0},          {"2147483647", 2147483647},
      {"2147483648", 0},   {"-2147483648", INT32_MIN}, {"--5", 0},  {"+-5", 0},  {"007", 7},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(ParseInteger(in), out);
  }
}

TEST(NumbersParse, StrictParseRealAcceptanceRules) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"-.5", -0.5},
      {"1E-3", 0.001},
      {" 2.5e+2 ", 250.0},
      {"+4", 4.0},
      {".-5", 0.0},     // a sign after the point
      {"1.5E2.1", 0.0}, // no point in the exponent
      {"1.2.3", 0.0},
      {"5-", 0.0},      // a sign after digits
      {"+-5", 0.0},
      {"1,5", 0.0},
      {"", 0.0},
      {"-", 0.0},
      {"E5", 0.0},
      {"1E", 0.0},
      {"1E1234", 0.0},  // four exponent digits pass the rules, but overflow
      {"1E12345", 0.0}, // five exponent digits are refused
      {"12345678901234567890123456", 12345678901234567890123456.0},
      {"123456789012345678901234567", 0.0}, // 27 mantissa digits
      {"5.", 5.0},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_DOUBLE_EQ(StrictParseReal(in), out);
  }
}

TEST(NumbersParse, ParseRealCutsFirst) {
  EXPECT_DOUBLE_EQ(ParseReal("12.5 km"), 12.5);
  EXPECT_DOUBLE_EQ(ParseReal("1,5"), 1.0);
  EXPECT_DOUBLE_EQ(ParseReal("  -0.25'"), -0.25);
  EXPECT_DOUBLE_EQ(ParseReal("x12"), 0.0);
}

TEST(NumbersParse, ParseWholeInteger) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"  42  ", 42}, {"$1F", 0}, {"x1F", 0}, {"X1F", 0}, {"-12", -12},
      {"12 3", 0},    {"1.0", 0}, {"", 0},    {"+3", 3},  {"99999999999", 0},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(ParseWholeInteger(in), out);
  }
}

TEST(NumbersLimits, ClampsAndMinMax) {
  EXPECT_EQ(ClampToWord(-5), 0);
  EXPECT_EQ(ClampToWord(0), 0);
  EXPECT_EQ(ClampToWord(1234), 1234);
  EXPECT_EQ(ClampToWord(65535), 65535);
  EXPECT_EQ(ClampToWord(int64_t{1} << 40), 65535);
  EXPECT_EQ(ClampRange(0, -1, 10), 0);
  EXPECT_EQ(ClampRange(0, 5, 10), 5);
  EXPECT_EQ(ClampRange(0, 10, 10), 10);
  EXPECT_EQ(ClampRange(0, 11, 10), 10);
  EXPECT_EQ(MinInt(-3, 2), -3);
  EXPECT_EQ(MaxInt(-3, 2), 2);
  EXPECT_EQ(MinSmall(-3, 2), -3);
  EXPECT_EQ(MaxSmall(-3, 2), 2);
}

TEST(NumbersLimits, RoundClampToWord) {
  const std::vector<std::pair<double, uint16_t>> cases = {
      {-1.0, 0},       {0.5, 0},     {1.5, 2},      {2.5, 2},      {2.6, 3},
      {65534.5, 65534}, {65535.4, 65535}, {1e300, 65535}, {-1e300, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 65535},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(RoundClampToWord(in), out);
  }
}

TEST(NumbersBytes, SwapsAndNaN) {
  uint8_t b = 0x1F;
  SwapNibbles(b);
  EXPECT_EQ(b, 0xF1);
  uint16_t w = 0x1234;
  EXPECT_EQ(Swap16(w), 0x3412);
  EXPECT_EQ(w, 0x3412);
  uint32_t l = 0x11223344u;
  EXPECT_EQ(Swap32(l), 0x44332211u);
  uint64_t q = 0x0102030405060708ull;
  EXPECT_EQ(Swap64(q), 0x0807060504030201ull);
  EXPECT_EQ(q, 0x0807060504030201ull);

  EXPECT_TRUE(IsNanSingle(0x7FC00000u));
  EXPECT_TRUE(IsNanSingle(0xFF800001u));
  EXPECT_FALSE(IsNanSingle(0x7F800000u)); // +infinity
  EXPECT_FALSE(IsNanSingle(0xFF800000u)); // -infinity
  EXPECT_FALSE(IsNanSingle(0x3F800000u)); // 1.0
}

TEST(NumbersFormat, FixedPointText) {
  struct Case {
    double v;
    int decimals, width;
    std::string plain, padded;
  };
  const std::vector<Case> cases = {
      {3.14159, 2, 6, "3.14", "003.14"},
      {-3.14159, 3, 8, "-3.142", "-003.142"},
      {2.5, 0, 3, "2", "002"},
      {1e20, 1, 0, "100000000000000000000.0", "100000000000000000000.0"},
      {1e-9, 4, 0, "0.0000", "0.0000"},
      {12.345, 1, 2, "12.3", "12.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(FormatFixed(c.v, c.decimals), c.plain);
    EXPECT_EQ(FormatFixedPadded(c.v, c.decimals, c.width), c.padded);
  }
}

} // namespace
} // namespace korv
