// Metadata spellings of FITS headers: dates, angles, filters, objects, site codes.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>

#include "core/julian.h"
#include "readers/fits/metadata.h"
#include "tests/test_support.h"

namespace korv {
namespace {

constexpr double Deg = Pi / 180.0;
constexpr double Second = 1.0 / 86400.0;

struct DateCase {
  const char* Value;
  uint8_t Software;
  double Expected;
};

TEST(FitsMetadata, DateObsForms) {
  const double jan5 = JulianDate(2006, 1, 5);
  const DateCase cases[] = {
      {"2006-01-05T12:30:00", 0, jan5 + 12.5 / 24},
      {"2006-01-05", 0, jan5},
      {"2006-01-05T12:30:00,5", 0, jan5 + 12.5 / 24 + 0.5 * Second},
      {"5/1/06", 0, jan5},                          // one-digit day and month
      {"05/01/95", 0, JulianDate(1995, 1, 5)},      // 20 and above: 19xx
      {"05/01/19", 0, JulianDate(2019, 1, 5)},      // below 20: 20xx
      {"05.01.2006T12:30:00", 0, jan5 + 12.5 / 24}, // day first, four-digit year
      {"05-01-2006", 0, jan5},
      {"05/01/21", 15, JulianDate(2016, 1, 5)}, // years counted from 1995
      {"05/01/2006", 15, jan5},                 // a four-digit year is a year
  };
  for (const DateCase& c : cases) {
    SCOPED_TRACE(c.Value);
    std::ostringstream out;
    auto cv = test::MakeConversion({"korvalix"}, out);
    cv->State.SourceSoftware = c.Software;
    DecodeDateObs(*cv, c.Value);
    EXPECT_NEAR(cv->State.DateObs, c.Expected, 1e-6);
    EXPECT_EQ(cv->State.DateKnown, 1);
    EXPECT_EQ(out.str(), "");
  }
}

TEST(FitsMetadata, DateObsPartsAreAddedOnce) {
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix"}, out);
  DecodeDateObs(*cv, "2006-01-05");
  EXPECT_EQ(cv->State.TimeKnown, 0);
  // A later value with a time adds the time only.
  DecodeDateObs(*cv, "2010-10-10T06:00:00");
  EXPECT_NEAR(cv->State.DateObs, JulianDate(2006, 1, 5) + 0.25, 1e-9);
  EXPECT_EQ(cv->State.TimeKnown, 1);
  DecodeDateObs(*cv, "2010-10-10T18:00:00");
  EXPECT_NEAR(cv->State.DateObs, JulianDate(2006, 1, 5) + 0.25, 1e-9);
}

TEST(FitsMetadata, VideoFrameDateNamesItsProgram) {
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix"}, out);
  DecodeDateObs(*cv, "05/01/06T12:30:15.5");
  EXPECT_NEAR(cv->State.DateObs, JulianDate(2006, 1, 5) + 12.5 / 24 + 15.5 * Second, 1e-7);
  EXPECT_EQ(cv->State.SourceSoftware, 8);
  EXPECT_EQ(out.str(), "Bul=AVI2BMP\n");

  // A program fixed on the command line stays; the form is still reported.
  std::ostringstream out2;
  auto fixed = test::MakeConversion({"korvalix"}, out2);
  fixed->State.SourceSoftware = 3;
  DecodeDateObs(*fixed, "05/01/06T12:30:15");
  EXPECT_EQ(fixed->State.SourceSoftware, 3);
  EXPECT_EQ(out2.str(), "Bul=AVI2BMP\n");
}

TEST(FitsMetadata, UtDateCenturiesAndRepeats) {
  auto s = std::make_unique<ImageState>();
  DecodeUtDate(*s, "05/01/09");
  EXPECT_NEAR(s->UtDateObs, JulianDate(2009, 1, 5), 1e-9);
  auto t = std::make_unique<ImageState>();
  DecodeUtDate(*t, "5/1/10");
  EXPECT_NEAR(t->UtDateObs, JulianDate(1910, 1, 5), 1e-9);
  // The second header of a mosaic repeats the date: it is not added twice.
  DecodeUtDate(*t, "5/1/10");
  EXPECT_NEAR(t->UtDateObs, JulianDate(1910, 1, 5), 1e-9);
  auto iso = std::make_unique<ImageState>();
  DecodeUtDate(*iso, "2010-01-05");
  EXPECT_EQ(iso->UtDateObs, 0);
}

TEST(FitsMetadata, TimesOfDay) {
  EXPECT_NEAR(TimeOfDay("12:30:00"), 12.5 / 24, 1e-12);
  EXPECT_NEAR(TimeOfDay("15:41:16.25"), (15 * 3600 + 41 * 60 + 16.25) * Second, 1e-12);
  // A one-digit hour (a header value " 9:27:27.00" once trimmed).
  EXPECT_NEAR(TimeOfDay("9:27:27.00"), (9 * 3600 + 27 * 60 + 27) * Second, 1e-12);
  EXPECT_NEAR(ShutterTimeOfDay("01:02:03.9"), (3600 + 120 + 3) * Second, 1e-12);
  EXPECT_NEAR(IsoInstant("2020-03-04T05:06:07,5"),
              JulianDate(2020, 3, 4) + (5 * 3600 + 6 * 60 + 7.5) * Second, 1e-8);
}

TEST(FitsMetadata, RightAscensionAndDeclination) {
  for (const char* ra : {"12 30 00", "12h30m00s", "187.5", "12:30:00", "12 30 0,0"}) {
    SCOPED_TRACE(ra);
    EXPECT_NEAR(ParseRightAscension(ra, false), 187.5 * Deg, 1e-12);
  }
  EXPECT_NEAR(ParseRightAscension("12.5", true), 187.5 * Deg, 1e-12);
  struct {
    std::string Value;
    double Degrees;
  } const decs[] = {
      {"-00 30 00", -0.5},          {"45d30m", 45.5}, {"+45:30:00", 45.5},
      {"-12\xb0 30' 36\"", -12.51}, {"12,25", 12.25}, {"- 5 15", -5.25},
  };
  for (const auto& d : decs) {
    SCOPED_TRACE(d.Value);
    EXPECT_NEAR(ParseDeclination(d.Value), d.Degrees * Deg, 1e-12);
  }
}

TEST(FitsMetadata, SiteLatitudeAndLongitude) {
  for (const char* lat : {"46.2 N", "N 46.2", "46.2N", "+46 12 00", "n46.2"}) {
    SCOPED_TRACE(lat);
    EXPECT_NEAR(ParseLatitude(lat), 46.2 * Deg, 1e-12);
  }
  for (const char* lat : {"46.2S", "S 46.2", "-46 12", "46 12 S"}) {
    SCOPED_TRACE(lat);
    EXPECT_NEAR(ParseLatitude(lat), -46.2 * Deg, 1e-12);
  }
  struct {
    const char* Value;
    const char* Comment;
    uint8_t Software;
    double Degrees;
  } const lons[] = {
      {"6.1 W", "", 0, 353.9},
      {"W 6.1", "", 0, 353.9},
      {"O 6.1", "", 0, 353.9},
      {"6.1", "LONGITUDE WEST", 0, 353.9},
      {"6.1", "[DEG] OUEST POSITIF", 0, 353.9},
      {"6.1", "", 3, 353.9}, // a program that counts west positive
      {"6.1", "", 0, 6.1},
      {"E 6 06 00", "", 0, 6.1},
      {"6.1E", "EAST POSITIVE, WEST NEGATIVE", 0, 6.1}, // the letter decides
      {"6.1 W", "WEST LONGITUDE", 0, 353.9},            // not negated twice
      {"-6.1", "", 0, 353.9},
  };
  for (const auto& l : lons) {
    SCOPED_TRACE(std::string(l.Value) + " / " + l.Comment);
    EXPECT_NEAR(ParseLongitude(l.Value, l.Comment, l.Software), l.Degrees * Deg, 1e-12);
  }
}

TEST(FitsMetadata, FilterNames) {
  struct {
    const char* Value;
    const char* Stored;
  } const cases[] = {
      {"Bessell R", "Rb"},    {"BESSEL V", "Vb"}, {"SDSS r", "Rs"},     {"SDSS-g", "Gs"},
      {"SDSSi", "Is"},        {"Sloan z", "Zs"},  {"SL-r", "Rs"},       {"R_COUSINS", "Rc"},
      {"JOHNSON_V", "Vj"},    {"John B", "Bj"},   {"(Luminance)", "O"}, {"LUM", "O"},
      {"IR72", "I"},          {"GSSELB", "Vb"},   {"rbessel", "Rb"},    {"JC_V", "Vc"},
      {"r_Gunn", "rg"},       {"SOLR-Ha", "Ha"},  {"BSSL-B", "B"},      {"FILTER_Halpha", "_Halp"},
      {"Ha 6563", "Ha 6563"}, {"SDSS", "s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    EXPECT_EQ(NormalizeFilterName(c.Value).view(), c.Stored);
  }
  for (const char* none : {"Clear", "AIR", "none", "SOLAR-blind", "CLEAR-2"}) {
    SCOPED_TRACE(none);
    EXPECT_TRUE(IsNoFilterValue(none));
  }
  EXPECT_FALSE(IsNoFilterValue("R"));
}

TEST(FitsMetadata, ObjectValues) {
  auto state = std::make_unique<ImageState>();
  ImageState& s = *state;
  AddFitsObject(s, "M31, test, ASTEROID_433 Eros, CAL, Cursor 12, Autosave Image");
  EXPECT_EQ(s.ObjectName.view(), "M31, 433 Eros");
  // The same name from the next header of a mosaic is kept once.
  AddFitsObject(s, "m31");
  EXPECT_EQ(s.ObjectName.view(), "M31, 433 Eros");

  auto robotState = std::make_unique<ImageState>();
  ImageState& robot = *robotState;
  AddFitsObject(robot, std::string(RobotObserverPrefix) + "NGC 7000");
  EXPECT_EQ(robot.ObjectName.view(), "NGC 7000");
  EXPECT_EQ(robot.Observer.view(), RobotObserverPrefix.substr(0, 10));

  auto lcoState = std::make_unique<ImageState>();
  ImageState& lco = *lcoState;
  lco.Origin = "LCOGT";
  AddFitsObject(lco, "NGC 253:autoguider");
  EXPECT_EQ(lco.ObjectName.view(), "NGC 253");

  auto longState = std::make_unique<ImageState>();
  ImageState& longList = *longState;
  AddFitsObject(longList, std::string(200, 'A'));
  EXPECT_EQ(longList.ObjectName.size(), 68u);
}

TEST(FitsMetadata, ObjectDesignationLists) {
  EXPECT_EQ(NormalizeObjectList("CENTER OF MESSIER 31 = NGC 224", 68).view(), "M31, NGC224");
  EXPECT_EQ(NormalizeObjectList("NGC 1234A/B; IC 10X, ABEL 2199", 68).view(),
            "NGC1234, IC10, ABELL 2199");
  EXPECT_EQ(NormalizeObjectList("M 42 ( NORTH REGION ), NGC 1976 IN M 42", 68).view(),
            "M 42, NGC1976");
  EXPECT_EQ(NormalizeObjectList("", 68).view(), "");
}

TEST(FitsMetadata, ObservatoryCodes) {
  struct {
    const char* Value;
    int32_t Code;
  } const cases[] = {
      {"", 500},     {"OFXB", 175},  {"G96", 1696}, {"E10", 1410}, {"fts", 1410},
      {"FTN", 1565}, {"YYY", -500},  {"-", -500},   {"xxx", 500},  {"+", 500},
      {"568", 568},  {" 809 ", 809}, {"A00", 1000}, {"Z99", 3599}, {"$1F", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    EXPECT_EQ(ParseObservatoryCode(c.Value), c.Code);
  }
}

} // namespace
} // namespace korv
