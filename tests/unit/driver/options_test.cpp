#include "driver/options.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/julian.h"
#include "core/stop.h"
#include "tests/test_support.h"

namespace korv {
namespace {

constexpr double Deg = Pi / 180.0;

struct Parsed {
  std::ostringstream out;
  std::unique_ptr<Conversion> cv;
  bool Stopped = false; // the stage stopped the run (its reason is in out)
  ImageState& st() { return cv->State; }
};

// Runs the options stage over "korvalix <image> <options...>".
std::unique_ptr<Parsed> Options(std::vector<std::string> options,
                                const std::string& image = "img.fit") {
  auto p = std::make_unique<Parsed>();
  std::vector<std::string> args = {"korvalix", image};
  args.insert(args.end(), options.begin(), options.end());
  p->cv = test::MakeConversion(args, p->out);
  try {
    ReadOptions(*p->cv);
  } catch (const StopRun&) {
    p->Stopped = true;
  }
  return p;
}

TEST(OptionsWeights, DefaultsLevelAndExplicitWeights) {
  {
    auto p = Options({});
    EXPECT_FLOAT_EQ(p->st().ChannelWeightR, 0.299f);
    EXPECT_FLOAT_EQ(p->st().ChannelWeightV, 0.587f);
    EXPECT_FLOAT_EQ(p->st().ChannelWeightB, 0.114f);
    EXPECT_EQ(p->st().ChannelWeightA, 0.0f);
    EXPECT_EQ(p->st().AutoByteOutput, 1);
    EXPECT_EQ(p->out.str(), "");
  }
  {
    SCOPED_TRACE("L2 scales the defaults and ends automatic 8-bit output");
    auto p = Options({"L2"});
    EXPECT_FLOAT_EQ(p->st().ChannelWeightR, 0.598f);
    EXPECT_FLOAT_EQ(p->st().ChannelWeightV, 1.174f);
    EXPECT_FLOAT_EQ(p->st().ChannelWeightB, 0.228f);
    EXPECT_EQ(p->st().AutoByteOutput, 0);
  }
  {
    SCOPED_TRACE("R twice: one weight given, no defaults");
    auto p = Options({"R", "r"});
    EXPECT_EQ(p->st().ChannelWeightR, 2.0f);
    EXPECT_EQ(p->st().ChannelWeightV, 0.0f);
    EXPECT_EQ(p->st().ChannelWeightB, 0.0f);
    EXPECT_EQ(p->st().AutoByteOutput, 0);
  }
  {
    SCOPED_TRACE("a single A is a sum of 1: 8-bit output stays automatic");
    auto p = Options({"A"});
    EXPECT_EQ(p->st().ChannelWeightA, 1.0f);
    EXPECT_EQ(p->st().ChannelWeightR, 0.0f);
    EXPECT_EQ(p->st().AutoByteOutput, 1);
  }
  {
    SCOPED_TRACE("C1,,1 leaves the empty item's weight alone");
    auto p = Options({"V", "V", "C1,,1"});
    EXPECT_EQ(p->st().ChannelWeightR, 1.0f);
    EXPECT_EQ(p->st().ChannelWeightV, 2.0f);
    EXPECT_EQ(p->st().ChannelWeightB, 1.0f);
    EXPECT_EQ(p->st().ChannelWeightA, 0.0f);
  }
  {
    SCOPED_TRACE("plain C and C with nothing convertible give four ones");
    for (const char* c : {"C", "Cx,y", "C,,,", "c;;"}) {
      SCOPED_TRACE(c);
      auto p = Options({"R", c});
      EXPECT_EQ(p->st().ChannelWeightR, 1.0f);
      EXPECT_EQ(p->st().ChannelWeightV, 1.0f);
      EXPECT_EQ(p->st().ChannelWeightB, 1.0f);
      EXPECT_EQ(p->st().ChannelWeightA, 1.0f);
    }
  }
  {
    auto p = Options({"C0.5;0.25 0.125=2"});
    EXPECT_EQ(p->st().ChannelWeightR, 0.5f);
    EXPECT_EQ(p->st().ChannelWeightV, 0.25f);
    EXPECT_EQ(p->st().ChannelWeightB, 0.125f);
    EXPECT_EQ(p->st().ChannelWeightA, 2.0f);
  }
}

TEST(OptionsWeights, RowCompressionsAnyCase) {
  auto p = Options({"cPrP"});
  EXPECT_EQ(p->st().CompressPrevPixel, 1);
  EXPECT_EQ(p->st().OutputBitpix, 16);
  EXPECT_EQ(p->st().AutoByteOutput, 0);
  EXPECT_EQ(p->st().ChannelWeightR, 0.299f); // not read as weights
  auto q = Options({"CPVA"});
  EXPECT_EQ(q->st().CompressProfVar, 1);
  EXPECT_EQ(q->st().CompressPrevPixel, 0);
  EXPECT_EQ(q->st().AutoByteOutput, 0);
}

// Which spellings of a real convert, seen through option L (1.0 stays when
// the item does not convert).
TEST(OptionsNumbers, RealItemsConvertOnlyWhenWellFormed) {
  const struct {
    const char* Arg;
    float Level;
  } cases[] = {
      {"L2.5", 2.5f},    {"L.5", 0.5f},      {"L5.", 5.0f},   {"L+3", 3.0f},
      {"L1E1", 10.0f},   {"L2e-1", 0.2f},    {"L1.5E+2", 150.0f}, {"L3,9", 3.0f},
      {"L1.5E2.1", 1.0f}, {"L--1", 1.0f},    {"L.", 1.0f},    {"L+", 1.0f},
      {"L1..2", 1.0f},   {"L0x10", 1.0f},    {"Linf", 1.0f},  {"Lnan", 1.0f},
      {"L1e", 1.0f},     {"L1e99999", 1.0f}, {"L1e400", 1.0f}, {"L1e39", 1.0f},
      {"L2km", 1.0f},    {"L", 1.0f},        {"L0", 1.0f},    {"L-2", 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    auto p = Options({c.Arg});
    EXPECT_FLOAT_EQ(p->st().LevelFactor, c.Level);
  }
}

TEST(OptionsBinning, FactorsAndMosaicOverride) {
  {
    auto p = Options({"Z2"});
    EXPECT_EQ(p->st().BinX, 2);
    EXPECT_EQ(p->st().BinY, 2);
    EXPECT_EQ(p->st().AutoByteOutput, 0);
  }
  {
    SCOPED_TRACE("Z0 (or factors whose low bytes are 0) would convert nothing: a stop");
    for (const char* z : {"Z0", "Z256,0", "Z0,x"}) {
      auto p = Options({z});
      EXPECT_TRUE(p->Stopped) << z;
      EXPECT_NE(p->out.str().find("Binning nul"), std::string::npos) << p->out.str();
    }
  }
  {
    auto p = Options({"Z,3"});
    EXPECT_EQ(p->st().BinX, 3);
    EXPECT_EQ(p->st().BinY, 3);
  }
  {
    auto p = Options({"Z3;1"});
    EXPECT_EQ(p->st().BinX, 3);
    EXPECT_EQ(p->st().BinY, 1);
  }
  {
    SCOPED_TRACE("Z alone returns to 1 x 1; factors keep their low byte");
    auto p = Options({"Z4", "Z"});
    EXPECT_EQ(p->st().BinX, 1);
    EXPECT_EQ(p->st().BinY, 1);
    auto q = Options({"Z258,x"});
    EXPECT_EQ(q->st().BinX, 2);
    EXPECT_EQ(q->st().BinY, 2);
  }
  {
    SCOPED_TRACE("a colour-filter cell forces 2 x 2 over Z");
    auto p = Options({"Z3", "MBVVR"});
    EXPECT_EQ(p->st().BinX, 2);
    EXPECT_EQ(p->st().BinY, 2);
  }
}

TEST(OptionsMosaic, CellLettersAndOrientation) {
  {
    auto p = Options({"MBVVR"});
    EXPECT_EQ(p->st().CfaPattern, (std::array<uint8_t, 4>{3, 2, 2, 1}));
    EXPECT_EQ(p->st().CfaMode, 1);
    EXPECT_EQ(p->st().CfaPatternGiven, 1);
  }
  {
    auto p = Options({"MX"});
    EXPECT_EQ(p->st().MirrorX, 1);
    EXPECT_EQ(p->st().FlipY, 0);
    EXPECT_EQ(p->st().CfaMode, 0);
    EXPECT_EQ(p->st().BinX, 1);
  }
  {
    SCOPED_TRACE("M4 sets only the first position");
    auto p = Options({"M4"});
    EXPECT_EQ(p->st().CfaPattern, (std::array<uint8_t, 4>{4, 2, 2, 3}));
    EXPECT_EQ(p->st().CfaMode, 1);
  }
  {
    SCOPED_TRACE("letters continue over arguments; a fifth one is ignored");
    auto p = Options({"mr1", "Mba", "mv", "B"});
    EXPECT_EQ(p->st().CfaPattern, (std::array<uint8_t, 4>{1, 1, 3, 4}));
  }
  {
    auto p = Options({"Mxy-y?", "M", "M"});
    EXPECT_EQ(p->st().MirrorX, 1);
    EXPECT_EQ(p->st().FlipY, 0);
    EXPECT_EQ(p->st().FollowFileOrientation, 0);
    EXPECT_EQ(p->st().CfaMode, 0); // toggled twice
  }
  {
    auto p = Options({"M="});
    EXPECT_EQ(p->st().CfaMode, 1);
    EXPECT_EQ(p->st().CfaAverageDuplicates, 1);
    EXPECT_EQ(p->st().BinX, 2);
  }
}

TEST(OptionsMosaic, CfaSetupWeightsAndPattern) {
  {
    SCOPED_TRACE("M=: the green weight is shared by its two positions");
    auto p = Options({"MRVVB="});
    CfaSetup(*p->cv);
    const auto& f = p->st().CfaFactor;
    EXPECT_FLOAT_EQ(f[0], 0.299f);
    EXPECT_FLOAT_EQ(f[1], 0.2935f);
    EXPECT_FLOAT_EQ(f[2], 0.2935f);
    EXPECT_FLOAT_EQ(f[3], 0.114f);
    EXPECT_EQ(p->st().IsCfa, 1);
    EXPECT_EQ(p->st().DetectorCfa, "1223");
    EXPECT_EQ(p->out.str(), "Cco=0.299,0.294,0.294,0.114: oui\n");
  }
  {
    SCOPED_TRACE("without M= each position takes its channel's weight, times L");
    auto p = Options({"C1,2,3,4", "L0.5", "MABBR"});
    CfaSetup(*p->cv);
    EXPECT_EQ(p->st().CfaFactor, (std::array<float, 4>{2.0f, 1.5f, 1.5f, 0.5f}));
    EXPECT_EQ(p->st().DetectorCfa, "4331");
    EXPECT_EQ(p->out.str(), "Cco=2.000,1.500,1.500,0.500: oui\n");
  }
  {
    SCOPED_TRACE("a channel code out of range gives weight 0 and x");
    auto p = Options({});
    p->st().CfaPattern = {1, 0, 9, 3};
    CfaSetup(*p->cv);
    EXPECT_EQ(p->st().CfaFactor[1], 0.0f);
    EXPECT_EQ(p->st().CfaFactor[2], 0.0f);
    EXPECT_EQ(p->st().DetectorCfa, "1xx3");
  }
}

TEST(OptionsDate, DateTimeExposureAndShift) {
  {
    auto p = Options({"HD20240315.5"});
    EXPECT_NEAR(p->st().DateObs, 2460385.0, 1e-6);
    EXPECT_EQ(p->st().DateOutRef, 1);
  }
  {
    SCOPED_TRACE("date and packed time add up; third item is the exposure");
    auto p = Options({"hm20240315,12.3045,30"});
    const double expected = JulianDate(2024, 3, 15) + (12.0 + 30.0 / 60 + 45.0 / 3600) / 24;
    EXPECT_NEAR(p->st().DateObs, expected, 1e-6);
    EXPECT_NEAR(p->st().Exptime, 30.0, 1e-6);
    EXPECT_EQ(p->st().DateOutRef, 2);
  }
  {
    SCOPED_TRACE("skipped items keep their place");
    auto p = Options({"HF,,120", "HD,-5,x"});
    EXPECT_EQ(p->st().DateObs, 0.0);
    EXPECT_NEAR(p->st().Exptime, 120.0, 1e-6);
    EXPECT_EQ(p->st().DateOutRef, 1);
  }
  {
    auto p = Options({"HP"});
    EXPECT_EQ(p->st().DateFormat, 'P');
    auto q = Options({"HQ", "ho"});
    EXPECT_EQ(q->st().DateFormat, 'O');
  }
  {
    auto p = Options({"H-3600"});
    EXPECT_EQ(p->st().TimeShift, -3600.0);
    auto q = Options({"H7200", "HR", "H", "Hx"});
    EXPECT_EQ(q->st().TimeShift, 7200.0);
    EXPECT_EQ(q->st().DateOutRef, 0);
    EXPECT_EQ(q->st().DateObs, 0.0);
  }
}

TEST(OptionsPointing, AnglesOpticsAndRewrite) {
  {
    auto p = Options({"K12H3045,+45D3000"});
    EXPECT_NEAR(p->st().RightAscension, (12.0 + 30.0 / 60 + 45.0 / 3600) * 15 * Deg, 1e-9);
    EXPECT_NEAR(p->st().Declination, 45.5 * Deg, 1e-9);
    EXPECT_EQ(p->st().RightAscensionSet, 1);
    EXPECT_EQ(p->st().DeclinationSet, 1);
    EXPECT_EQ(p->st().FocalLengthSet, 0);
    EXPECT_EQ(p->st().AutoByteOutput, 0);
  }
  {
    auto p = Options({"K,,1000"});
    EXPECT_EQ(p->st().RightAscensionSet, 0);
    EXPECT_EQ(p->st().DeclinationSet, 0);
    EXPECT_EQ(p->st().FocalLength, 1000.0);
    EXPECT_EQ(p->st().FocalLengthSet, 1);
    EXPECT_EQ(p->st().PixelSizeXSet, 0);
    EXPECT_EQ(p->st().GainSet, 0);
  }
  {
    SCOPED_TRACE("angles of 0 are stored; optics of 0 are not");
    auto p = Options({"K0,-0.3,0,0.0074,0.0068,1.5"});
    EXPECT_EQ(p->st().RightAscension, 0.0);
    EXPECT_EQ(p->st().RightAscensionSet, 1);
    EXPECT_NEAR(p->st().Declination, -0.5 * Deg, 1e-9);
    EXPECT_EQ(p->st().FocalLengthSet, 0);
    EXPECT_EQ(p->st().PixelSizeX, 0.0074);
    EXPECT_EQ(p->st().PixelSizeY, 0.0068);
    EXPECT_EQ(p->st().Gain, 1.5);
    EXPECT_EQ(p->st().GainSet, 1);
  }
  {
    SCOPED_TRACE("quotes, colons and degree signs are dropped from the angles");
    auto p = Options({"K5h30m,-10d15'30\"\xc2\xb0"});
    EXPECT_NEAR(p->st().RightAscension, 5.5 * 15 * Deg, 1e-9);
    EXPECT_NEAR(p->st().Declination, -(10.0 + 15.0 / 60 + 30.0 / 3600) * Deg, 1e-9);
  }
  {
    SCOPED_TRACE("seconds of 100 carry into the minutes, minutes into the hours");
    auto p = Options({"K1.5999999,2.9999999"});
    EXPECT_NEAR(p->st().RightAscension, 2.0 * 15 * Deg, 1e-7);
    EXPECT_NEAR(p->st().Declination, 3.0 * Deg, 1e-7);
  }
  {
    auto p = Options({"Kabc,x:y,km,;"});
    EXPECT_EQ(p->st().RightAscensionSet, 0);
    EXPECT_EQ(p->st().DeclinationSet, 0);
    EXPECT_EQ(p->st().FocalLengthSet, 0);
    EXPECT_EQ(p->st().PixelSizeXSet, 0);
  }
}

TEST(OptionsCards, LayoutMarkersAndSlots) {
  auto p = Options({"Y+FILTER=RED", "Y:OBSERVER=X", "Y-date", "y=object=M 51", "Y+COMMENT a=b",
                    "Y+long=", "Y+x= y", "Y*BAD=1", "Y+", "Y"});
  const auto& c = p->st().ExtraCards;
  EXPECT_EQ(c[0].Marker, '+');
  EXPECT_EQ(c[0].Card, "FILTER  = 'RED'");
  EXPECT_EQ(c[1].Marker, ':');
  EXPECT_EQ(c[1].Card, "OBSERVER= 'X'");
  EXPECT_EQ(c[2].Marker, '-');
  EXPECT_EQ(c[2].Card, "DATE    ");
  EXPECT_EQ(c[3].Marker, '=');
  EXPECT_EQ(c[3].Card, "OBJECT  = 'M 51'");
  // An "=" right of column 9 is the user's text, kept as typed.
  EXPECT_EQ(c[4].Card, "COMMENT a=b");
  // A final "=" gives a card without a value.
  EXPECT_EQ(c[5].Card, "LONG    = ");
  EXPECT_EQ(c[6].Card, "X       = 'y'");
  EXPECT_TRUE(c[7].Card.empty());
  EXPECT_EQ(c[7].Marker, 0);
}

TEST(OptionsCards, ValuesKeptAsTypedOrQuoted) {
  const struct {
    const char* Arg;
    const char* Card;
  } cases[] = {
      {"Y+EXPOSURE=12.5", "EXPOSURE= 12.5"},
      {"Y+GAIN=-1.5E-3 / e-/ADU", "GAIN    = -1.5E-3 / e-/ADU"},
      {"Y+N=42", "N       = 42"},
      {"Y+FLAG=T", "FLAG    = T"},
      {"Y+Z=(1.0, 2.0)", "Z       = (1.0, 2.0)"},
      {"Y+OBSERVER='Me' / who", "OBSERVER= 'Me' / who"},
      {"Y+EMPTY=   ", "EMPTY   =   "},
      {"Y+OBSERVER=Me", "OBSERVER= 'Me'"},
      {"Y+OBSERVER=O'Brien", "OBSERVER= 'O''Brien'"},
      {"Y+OBJECT='open", "OBJECT  = '" "''open'"},
      {"Y+OBJECT=M51 / galaxy", "OBJECT  = 'M51 / galaxy'"},
      {"Y+V=1.2.3", "V       = '1.2.3'"},
      {"Y+V=TRUE", "V       = 'TRUE'"},
      {"Y+V=1e", "V       = '1e'"},
  };
  for (const auto& c : cases) {
    auto p = Options({c.Arg});
    ASSERT_FALSE(p->Stopped) << c.Arg;
    EXPECT_EQ(p->st().ExtraCards[0].Card, c.Card) << c.Arg;
  }
  // A long text is cut so that its closing quote stays on the card, never
  // between the two quotes of a doubled one.
  auto p = Options({"Y+NOTE=" + std::string(67, 'a') + "'b"});
  EXPECT_EQ(p->st().ExtraCards[0].Card.str(), "NOTE    = '" + std::string(67, 'a') + "'");
}

TEST(OptionsCards, KeywordsFitsCannotReadAreRefused) {
  for (const char* arg :
       {"Y+OBSERVERS=Me", "Y+OBS.1=2", "Y-TOOLONGKEY", "Y:A/B=1", "Y+\xe9T\xe9=1"}) {
    auto p = Options({arg});
    EXPECT_TRUE(p->Stopped) << arg;
    EXPECT_NE(p->out.str().find("Mot-cl\u00e9 FITS incorrect : "), std::string::npos) << arg;
    EXPECT_TRUE(p->st().ExtraCards[0].Card.empty()) << arg;
  }
  for (const char* arg : {"Y+DATE-OBS=2024-03-15", "Y+MY_KEY=1", "Y+HIERARCH ESO DET = 5",
                          "Y-history", "Yxnotacard"}) {
    auto p = Options({arg});
    EXPECT_FALSE(p->Stopped) << arg << p->out.str();
  }
}

TEST(OptionsCards, SeventeenthCardIsDroppedAndLongCardsCut) {
  std::vector<std::string> args;
  for (int i = 0; i < 17; ++i) args.push_back("Y+KEY" + std::to_string(i) + "=" + std::to_string(i));
  args.push_back("Y+COMMENT " + std::string(200, 'k'));
  auto p = Options(args);
  const auto& c = p->st().ExtraCards;
  EXPECT_EQ(c[0].Card, "KEY0    = 0");
  EXPECT_EQ(c[15].Card, "KEY15   = 15");
  for (const ExtraCard& e : c) EXPECT_NE(e.Card.view().substr(0, 5), "KEY16");

  auto q = Options({"Y+comment " + std::string(200, 'k')});
  EXPECT_EQ(q->st().ExtraCards[0].Card.size(), 80u);
  EXPECT_EQ(q->st().ExtraCards[0].Card.view().substr(0, 11), "COMMENT kkk");
}

TEST(OptionsSelection, GroupsNumbersAndReset) {
  {
    auto p = Options({}, "name,-3,4,-7");
    const auto& s = p->st().SelectionList;
    EXPECT_EQ(s[1].ImageNumber, 3);
    EXPECT_EQ(s[1].Group, 1);
    EXPECT_EQ(s[1].Position, 1);
    EXPECT_EQ(s[2].ImageNumber, 4);
    EXPECT_EQ(s[2].Group, 1);
    EXPECT_EQ(s[2].Position, 2);
    EXPECT_EQ(s[3].ImageNumber, 7);
    EXPECT_EQ(s[3].Group, 2);
    EXPECT_EQ(s[3].Position, 1);
    EXPECT_EQ(s[4].ImageNumber, 0);
    EXPECT_EQ(p->st().ImageNumber, 7);
  }
  {
    SCOPED_TRACE("without numbers every image is its own group");
    auto p = Options({}, "name");
    for (unsigned k = 1; k <= 16; ++k) {
      EXPECT_EQ(p->st().SelectionList[k].ImageNumber, k);
      EXPECT_EQ(p->st().SelectionList[k].Group, k);
      EXPECT_EQ(p->st().SelectionList[k].Position, 1);
    }
    EXPECT_EQ(p->st().ImageNumber, 0);
  }
  {
    SCOPED_TRACE("0 and garbage are skipped; ImageNumber is the last one read");
    auto p = Options({}, "name,2,0,x,5,0");
    EXPECT_EQ(p->st().SelectionList[1].ImageNumber, 2);
    EXPECT_EQ(p->st().SelectionList[2].ImageNumber, 5);
    EXPECT_EQ(p->st().SelectionList[2].Group, 1);
    EXPECT_EQ(p->st().SelectionList[3].ImageNumber, 0);
    EXPECT_EQ(p->st().ImageNumber, 0);
  }
  {
    SCOPED_TRACE("at most 16 entries; a number beyond 16 bits does not wrap");
    std::string image = "name";
    for (int i = 1; i <= 20; ++i) image += "," + std::to_string(i);
    image += ",-65537";
    auto p = Options({}, image);
    EXPECT_EQ(p->st().SelectionList[16].ImageNumber, 16);
    EXPECT_EQ(p->st().ImageNumber, 65535);
    auto q = Options({}, "name,65537");
    EXPECT_EQ(q->st().SelectionList[1].ImageNumber, 65535);
  }
  {
    SCOPED_TRACE("every call starts from a fresh list, reader work fields included");
    auto p = Options({}, "name,9");
    p->st().SelectionList[1].Bscale = 3.0f;
    p->st().SelectionList[1].DataOffset = 1234;
    p->cv->RawArgs = {"korvalix", "name"};
    p->cv->ArgCountKept = 0;
    ReadOptions(*p->cv);
    EXPECT_EQ(p->st().SelectionList[1].ImageNumber, 1);
    EXPECT_EQ(p->st().SelectionList[1].Bscale, 1.0f);
    EXPECT_EQ(p->st().SelectionList[1].DataOffset, 0);
  }
}

TEST(OptionsNaming, NamingObjectAndWindow) {
  {
    auto p = Options({"="});
    EXPECT_EQ(p->st().NamingMode, 2);
  }
  {
    auto p = Options({"=+_red_long"});
    EXPECT_EQ(p->st().NamingMode, 4);
    EXPECT_EQ(p->st().OutputPrefix, "_red");
    auto q = Options({"=+"});
    EXPECT_EQ(q->st().OutputPrefix, "_");
  }
  {
    auto p = Options({"=night,-4"});
    EXPECT_EQ(p->st().OutputPrefix, "nigh");
    EXPECT_EQ(p->st().NumberStart, -4);
    EXPECT_EQ(p->st().NamingMode, 3);
    auto q = Options({"=ab,256"});
    EXPECT_EQ(q->st().OutputPrefix, "ab");
    EXPECT_EQ(q->st().NumberStart, 0);
    EXPECT_EQ(q->st().NamingMode, 1);
  }
  {
    auto p = Options({"O=2,-1"});
    EXPECT_EQ(p->st().ObjectName, "=2,-1");
    EXPECT_EQ(p->st().WindowOriginGiven, 0);
    auto q = Options({"OM51"});
    EXPECT_EQ(q->st().ObjectName, "@M51");
    auto r = Options({"O" + std::string(100, 'n')});
    EXPECT_EQ(r->st().ObjectName.size(), 68u);
  }
  {
    auto p = Options({"O10,20"});
    EXPECT_EQ(p->st().WindowX, 10u);
    EXPECT_EQ(p->st().WindowY, 20u);
    EXPECT_EQ(p->st().WindowOriginGiven, 1);
    EXPECT_TRUE(p->st().ObjectName.empty());
    auto q = Options({"O5,6", "O,7"});
    EXPECT_EQ(q->st().WindowX, 0u);
    EXPECT_EQ(q->st().WindowY, 7u);
  }
  {
    auto p = Options({"D640,-3", "D0,480"});
    EXPECT_EQ(p->st().WindowWidth, 640);
    EXPECT_EQ(p->st().WindowHeight, 480);
  }
}

TEST(OptionsToggles, SwitchesSoftwareAndSampleTypes) {
  {
    auto p = Options({"EFFACE"});
    EXPECT_EQ(p->st().EraseInput, 1);
    EXPECT_EQ(p->out.str(), "");
    auto q = Options({"EFFACE", "EFFACE"});
    EXPECT_EQ(q->st().EraseInput, 0);
  }
  {
    SCOPED_TRACE("efface in lower case is option E with an unknown name");
    auto p = Options({"efface"});
    EXPECT_EQ(p->st().EraseInput, 0);
    EXPECT_EQ(p->st().SourceSoftware, 0);
    EXPECT_EQ(p->out.str(), "");
  }
  {
    auto p = Options({"Etarot", "EPrism"});
    EXPECT_EQ(p->st().SourceSoftware, 7);
    EXPECT_EQ(p->out.str(), "Bul=TAROT\nBul=PRISM\n");
    auto q = Options({"ENAXIS3", "Eccdsoft2x"});
    EXPECT_EQ(q->st().SourceSoftware, 16);
    EXPECT_EQ(q->out.str(), "Bul=NAXIS3\n");
  }
  {
    auto p = Options({"S", "S0"});
    EXPECT_EQ(p->st().LittleEndianSamples, 1);
    EXPECT_EQ(p->st().RowParityKeep, (std::array<uint8_t, 2>{1, 0}));
    auto q = Options({"S1", "s", "S"});
    EXPECT_EQ(q->st().LittleEndianSamples, 0);
    EXPECT_EQ(q->st().RowParityKeep, (std::array<uint8_t, 2>{0, 1}));
  }
  {
    const struct {
      const char* Arg;
      uint8_t Bitpix;
    } types[] = {{"TB", 8}, {"tw", 16}, {"TL", 32}, {"Ts", 224}};
    for (const auto& t : types) {
      SCOPED_TRACE(t.Arg);
      auto p = Options({t.Arg});
      EXPECT_EQ(p->st().OutputBitpix, t.Bitpix);
      EXPECT_EQ(p->st().AutoByteOutput, 0);
    }
    auto p = Options({"T", "T1", "Tx"});
    EXPECT_EQ(p->st().RotateQuarter, 1);
    EXPECT_EQ(p->st().FieldSelect, 2);
    EXPECT_EQ(p->st().OutputBitpix, 0);
    EXPECT_EQ(p->st().AutoByteOutput, 1);
    auto q = Options({"T0"});
    EXPECT_EQ(q->st().FieldSelect, 1);
  }
  {
    auto p = Options({"PA", "P", "PAB", "N258", "+", "G2.5"});
    EXPECT_EQ(p->st().WriteCoordinates, 0);
    EXPECT_EQ(p->st().CoordStyle, 2);
    EXPECT_EQ(p->st().IncludeExtraData, 1);
    EXPECT_EQ(p->st().GammaValue, 2.5f);
    EXPECT_EQ(p->st().GammaInverse, 0.4f);
    auto q = Options({"pa", "pa", "G0", "G-1", "G1e-40", "Nx"});
    EXPECT_EQ(q->st().WriteCoordinates, 1);
    EXPECT_EQ(q->st().GammaValue, 1.0f);
    EXPECT_EQ(q->st().GammaInverse, 1.0f);
    EXPECT_EQ(q->st().CoordStyle, 0);
  }
}

TEST(OptionsValueTransform, OffsetScaleAndMode) {
  {
    auto p = Options({"F100,2,3"});
    EXPECT_EQ(ReadValueTransform(*p->cv), 7);
    EXPECT_EQ(p->st().ValueOffset, 100.0f);
    EXPECT_EQ(p->st().ValueScale, 2.0f);
    EXPECT_EQ(p->st().ValueTransformMode, 3);
  }
  {
    SCOPED_TRACE("a zero scale is not taken; later F options override");
    auto p = Options({"f-1.5,0", "F,,-1"});
    EXPECT_EQ(ReadValueTransform(*p->cv), 5);
    EXPECT_EQ(p->st().ValueOffset, -1.5f);
    EXPECT_EQ(p->st().ValueScale, 1.0f);
    EXPECT_EQ(p->st().ValueTransformMode, 255);
  }
  {
    SCOPED_TRACE("a scale left at 0 becomes 1");
    auto p = Options({"Z2"});
    p->st().ValueScale = 0.0f;
    EXPECT_EQ(ReadValueTransform(*p->cv), 2);
    EXPECT_EQ(p->st().ValueScale, 1.0f);
    auto q = Options({"Fx,y,z", "F"});
    EXPECT_EQ(ReadValueTransform(*q->cv), 0);
    EXPECT_EQ(q->st().ValueOffset, 0.0f);
  }
  {
    SCOPED_TRACE("F is not an option of ReadOptions");
    auto p = Options({"F5,5"});
    EXPECT_EQ(p->st().ValueOffset, 0.0f);
  }
}

// Arguments a user or a script can throw at the program: empty items, texts at
// the 255-byte cut, unpaired quotes, numbers beyond every range. None may stop
// the run, read outside its text or leave a non-finite setting.
TEST(OptionsHostile, NoArgumentBreaksTheStage) {
  const std::string letters = "ABRVCDEGHKLMNOPSTYZ+=FIyhkmz";
  const std::vector<std::string> tails = {
      "",          ",",        ",,,,,,,,,,", "=",         "==",        "\"",
      "\t|;=, ",   "-",        "+-+-",       "1e39",      "1e-45",     "-1e308,-1e308",
      "1e9999",    "99999999999999999999999999", "1.7976931348623157e308,1e308,1e308",
      "D1e308,1e308,1e308", "\xff\xfe",  "D:H:",     "+-D-H",      std::string(300, '9'), std::string(300, ','),
      std::string(254, 'x') + "=", "=" + std::string(300, ' '),
  };
  for (char letter : letters) {
    for (const std::string& tail : tails) {
      SCOPED_TRACE(std::string(1, letter) + tail.substr(0, 40));
      std::string arg(1, letter);
      arg += tail;
      // Stops (dates off the calendar, Z0, refused cards) are fine here.
      auto p = Options({arg, "\"" + arg, arg + "\"", "", arg});
      ReadValueTransform(*p->cv);
      CfaSetup(*p->cv);
      const ImageState& st = p->st();
      for (float w : {st.ChannelWeightR, st.ChannelWeightV, st.ChannelWeightB, st.ChannelWeightA,
                      st.LevelFactor, st.GammaValue, st.GammaInverse, st.ValueOffset,
                      st.ValueScale})
        EXPECT_TRUE(std::isfinite(w));
      for (double d : {st.DateObs, st.Exptime, st.TimeShift, st.RightAscension, st.Declination,
                       st.FocalLength, st.Gain})
        EXPECT_TRUE(std::isfinite(d));
      EXPECT_GT(st.LevelFactor, 0.0f);
      EXPECT_GT(st.GammaValue, 0.0f);
      EXPECT_NE(st.ValueScale, 0.0f);
      EXPECT_LE(st.CfaPatternCount, 4);
      EXPECT_TRUE((st.BinX == 0) == (st.BinY == 0));
    }
  }
}

TEST(OptionsHostile, QuotesMergeArgumentsWithoutLosingTheRest) {
  {
    SCOPED_TRACE("an unpaired quote swallows the following arguments");
    auto p = Options({"\"Z2", "L2"});
    EXPECT_EQ(p->st().BinX, 2);
    EXPECT_EQ(p->st().BinY, 2);
    EXPECT_EQ(p->st().LevelFactor, 1.0f);
  }
  {
    SCOPED_TRACE("a quoted card with blanks is one argument");
    auto p = Options({"\"Y+OBJECT=M", "51\"", "Z3"});
    EXPECT_EQ(p->st().ExtraCards[0].Card, "OBJECT  = 'M 51'");
    EXPECT_EQ(p->st().BinX, 3);
  }
  {
    SCOPED_TRACE("arguments beyond 255 bytes are cut, not overrun");
    auto p = Options({"Y+A=" + std::string(400, 'a'), "O=" + std::string(400, 'b'),
                      "C" + std::string(400, '1'), "=+" + std::string(400, 'c')},
                     "name," + std::string(300, '5'));
    EXPECT_EQ(p->st().ExtraCards[0].Card.size(), 80u);
    EXPECT_EQ(p->st().ObjectName.size(), 68u);
    EXPECT_EQ(p->st().ChannelWeightR, 1.0f); // 254 digits do not convert
    EXPECT_EQ(p->st().OutputPrefix, "cccc");
    EXPECT_EQ(p->st().ImageNumber, 0);
  }
}

} // namespace
} // namespace korv
