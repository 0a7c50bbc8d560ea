#include <gtest/gtest.h>

#include <vector>

#include "core/julian.h"

namespace korv {
namespace {

TEST(JulianDate, KnownDates) {
  struct Case {
    double y, m, d, jd;
  };
  const std::vector<Case> cases = {
      {2000, 1, 1.5, 2451545.0},       // J2000.0
      {1858, 11, 17.0, 2400000.5},     // MJD zero
      {1970, 1, 1.0, 2440587.5},       // Unix epoch
      {2026, 12, 8.75, 2461383.25},
      {1582, 10, 4.0, 2299159.5},      // last Julian calendar day
      {1582, 10, 15.5, 2299161.0},     // first Gregorian day, with a fraction
      {-4712, 1, 1.5, 0.0},            // the start of the count
      {2024, 2, 29.0, 2460369.5},      // a leap day, month below March
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
    EXPECT_DOUBLE_EQ(JulianDate(c.y, c.m, c.d), c.jd);
  }
}

TEST(JulianDate, ReformDayItselfStaysJulian) {
  // The calendar switch compares strictly: day 15.0 gets no Gregorian term and
  // lands ten days after the Gregorian 15th, while 15.5 already gets it.
  EXPECT_DOUBLE_EQ(JulianDate(1582, 10, 15.0), 2299170.5);
  EXPECT_DOUBLE_EQ(JulianDate(1582, 10, 15.5), 2299161.0);
  EXPECT_DOUBLE_EQ(JulianDate(1582, 10, 16.0), 2299161.5);
}

TEST(NormalizeAngle, IntoOneTurn) {
  const std::vector<std::pair<double, double>> cases = {
      {-Pi / 2, 3 * Pi / 2}, {2 * Pi, 0.0}, {0.0, 0.0}, {5 * Pi, Pi}, {-7 * Pi, Pi},
      {1.0, 1.0},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_NEAR(NormalizeAngle(in), out, 1e-12);
  }
}

} // namespace
} // namespace korv
