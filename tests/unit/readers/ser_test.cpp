// SER videos through whole runs: each frame's exact samples for every sample
// size, byte order and colour arrangement, frame time stamps and exposure, the
// whole video as one tall image, and videos too long or too short.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "core/julian.h"
#include "tests/unit/readers/instrument_files.h"

namespace korv {
namespace {

using namespace insttest;
using test::ScratchDir;

std::vector<int64_t> Picture(const FitsImage& img) {
  std::vector<int64_t> v;
  for (long r = 0; r < img.Height; ++r) {
    const auto row = img.TopRow(r);
    v.insert(v.end(), row.begin(), row.end());
  }
  return v;
}

std::vector<int64_t> Plane(const std::vector<uint16_t>& frame, unsigned planes, unsigned k) {
  std::vector<int64_t> v;
  for (std::size_t i = k; i < frame.size(); i += planes) v.push_back(frame[i]);
  return v;
}

TEST(SerFrames, EveryFrameGivesItsExactSamples) {
  ScratchDir dir;
  struct Case {
    uint32_t Bits, Flag;
    bool Trailer;
  };
  for (const Case c : {Case{8, 0, false}, Case{8, 1, true}, Case{16, 0, true}, Case{16, 1, false},
                       Case{12, 0, true}}) {
    SCOPED_TRACE("bits " + std::to_string(c.Bits) + " flag " + std::to_string(c.Flag));
    SerVideo v;
    v.Width = 7;
    v.Height = 5;
    v.Bits = c.Bits;
    v.ByteOrderFlag = c.Flag;
    v.LocalStamp = SerTicks(2024, 3, 15, 13, 0, 0);
    v.UtcStamp = SerTicks(2024, 3, 15, 12, 0, 0);
    v.AddPatternFrames(4);
    if (c.Trailer)
      for (int k = 0; k < 4; ++k) v.Stamps.push_back(v.LocalStamp + 5000000u * k);
    WriteFile("v.ser", v.Bytes());
    for (unsigned n = 1; n <= 4; ++n) {
      const RunResult r = RunOn("v.ser," + std::to_string(n));
      ASSERT_EQ(r.Status, 0) << r.Console;
      const FitsImage img = ReadFits("v.fit");
      ASSERT_TRUE(img.Valid);
      EXPECT_EQ(img.Width, 7);
      EXPECT_EQ(img.Height, 5);
      EXPECT_EQ(Picture(img), Plane(v.Frames[n - 1], 1, 0)) << "frame " << n;
    }
  }
}

TEST(SerFrames, WholeVideoIsOneTallImage) {
  ScratchDir dir;
  SerVideo v;
  v.Width = 5;
  v.Height = 3;
  v.AddPatternFrames(3);
  const RunResult r = Convert("w.ser", v.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Height, 9);
  std::vector<int64_t> all;
  for (const auto& f : v.Frames) all.insert(all.end(), f.begin(), f.end());
  EXPECT_EQ(Picture(img), all);
}

TEST(SerFrames, ValueTransformModeShiftsSamples) {
  ScratchDir dir;
  SerVideo v;
  v.Bits = 12;
  v.AddPatternFrames(1);
  const RunResult r = Convert("s.ser", v.Bytes(), {"F0,1,4"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Nbd=4\n")) << r.Console;
  const FitsImage img = ReadFits("s.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.TopRow(0)[1], v.Frames[0][1] >> 4);
}

TEST(SerColour, BayerCellFollowsTheColourIdentifier) {
  ScratchDir dir;
  struct Case {
    uint32_t Id;
    const char* Cfa;
  };
  for (const Case c : {Case{8, "1223"}, Case{9, "2132"}, Case{10, "2312"}, Case{11, "3221"}}) {
    SCOPED_TRACE(c.Cfa);
    SerVideo v;
    v.ColourId = c.Id;
    v.Height = 4;
    v.AddPatternFrames(2);
    WriteFile("b.ser", v.Bytes());
    // Unit weights keep the mosaic samples as stored.
    RunResult r = RunOn("b.ser,2", {"C1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    FitsImage img = ReadFits("b.fit");
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(Picture(img), Plane(v.Frames[1], 1, 0));
    EXPECT_NE(img.Card("DETECCFA").find(c.Cfa), std::string::npos) << img.Header;
    // Option M: one grey sample per 2 x 2 cell, the cell's four weighted samples.
    r = RunOn("b.ser,2", {"M"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    img = ReadFits("b.fit");
    ASSERT_TRUE(img.Valid);
    EXPECT_EQ(img.Width, 2);
    EXPECT_EQ(img.Height, 2);
  }
}

TEST(SerColour, DefaultWeightsScaleEachCellPosition) {
  ScratchDir dir;
  SerVideo v;
  v.ColourId = 8; // RGGB
  v.Width = 2;
  v.Height = 2;
  v.Frames = {{1000, 1000, 1000, 1000}};
  const RunResult r = Convert("d.ser", v.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Cco=0.299,0.587,0.587,0.114: oui")) << r.Console;
  const FitsImage img = ReadFits("d.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.TopRow(0), (std::vector<int64_t>{299, 587}));
  EXPECT_EQ(img.TopRow(1), (std::vector<int64_t>{587, 114}));
}

TEST(SerColour, RgbAndBgrPixelsAreWeightedToGrey) {
  ScratchDir dir;
  for (uint32_t id : {100u, 101u}) {
    SCOPED_TRACE(id);
    SerVideo v;
    v.ColourId = id;
    v.AddPatternFrames(2);
    WriteFile("c.ser", v.Bytes());
    const unsigned red = id == 100 ? 0 : 2, blue = 2 - red;
    RunResult r = RunOn("c.ser,2", {"C1,0,0"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_EQ(Picture(ReadFits("c.fit")), Plane(v.Frames[1], 3, red));
    r = RunOn("c.ser,2", {"C0,1,0"});
    EXPECT_EQ(Picture(ReadFits("c.fit")), Plane(v.Frames[1], 3, 1));
    r = RunOn("c.ser,2", {"C0,0,1"});
    EXPECT_EQ(Picture(ReadFits("c.fit")), Plane(v.Frames[1], 3, blue));
  }
}

// The Julian date printed for a tag, or NaN.
double TagValue(const std::string& console, const std::string& tag) {
  const std::size_t at = console.find(tag);
  if (at == std::string::npos) return NAN;
  return std::stod(console.substr(at + tag.size()));
}

TEST(SerTimes, StampsCountTicksFromYearOneOfTheGregorianCalendar) {
  ScratchDir dir;
  SerVideo v;
  v.LocalStamp = SerTicks(2024, 3, 15, 14, 0, 0);
  v.UtcStamp = SerTicks(2024, 3, 15, 12, 0, 0);
  v.AddPatternFrames(3);
  for (int k = 0; k < 3; ++k) v.Stamps.push_back(SerTicks(2024, 3, 15, 14, 0, 2.0 * k));
  WriteFile("t.ser", v.Bytes());
  const RunResult r = RunOn("t.ser,3");
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NEAR(TagValue(r.Console, "Te0="), JulianDate(2024, 3, 15.5), 1e-7);
  EXPECT_NEAR(TagValue(r.Console, "Te1="), JulianDate(2024, 3, 15.0 + 14.0 / 24), 1e-7);
  const FitsImage img = ReadFits("t.fit");
  // Frame 3 ends 4 s after 14:00 local, that is 12:00:04 UT, after 2 s of exposure.
  EXPECT_NE(img.Card("DATE-OBS").find("2024-03-15T12:00:02"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("EXPTIME").find("2.0"), std::string::npos) << img.Header;
}

TEST(SerTimes, TrailerFollowsEveryPlaneOfColourFrames) {
  ScratchDir dir;
  SerVideo v;
  v.ColourId = 100;
  v.LocalStamp = SerTicks(2020, 1, 1, 0, 0, 0);
  v.UtcStamp = v.LocalStamp;
  v.AddPatternFrames(3);
  for (int k = 0; k < 3; ++k) v.Stamps.push_back(SerTicks(2020, 1, 1, 0, 0, 0.25 * k));
  WriteFile("rgb.ser", v.Bytes());
  const RunResult r = RunOn("rgb.ser,2");
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NEAR(TagValue(r.Console, "Te2="), JulianDate(2020, 1, 1.0 + 0.25 / 86400), 1e-8);
  EXPECT_NE(ReadFits("rgb.fit").Card("EXPTIME").find("0.25"), std::string::npos);
}

TEST(SerTimes, FirstFrameExposureComesFromFramesOneAndTwo) {
  ScratchDir dir;
  SerVideo v;
  v.LocalStamp = SerTicks(2021, 6, 1, 0, 0, 0);
  v.UtcStamp = v.LocalStamp;
  v.AddPatternFrames(2);
  v.Stamps = {SerTicks(2021, 6, 1, 0, 0, 1), SerTicks(2021, 6, 1, 0, 0, 1.5)};
  WriteFile("f.ser", v.Bytes());
  RunResult r = RunOn("f.ser,1");
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(ReadFits("f.fit").Card("EXPTIME").find("0.5"), std::string::npos);
  // A video of one frame has no second stamp: the exposure stays unknown and
  // nothing before the trailer is taken for a stamp.
  v.Frames.resize(1);
  v.Stamps.resize(1);
  WriteFile("g.ser", v.Bytes());
  r = RunOn("g.ser,1");
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_FALSE(r.Has("Te4=")) << r.Console;
  EXPECT_NE(ReadFits("g.fit").Card("EXPTIME").find(" 0.0000 "), std::string::npos);
}

TEST(SerTimes, ZeroLocalStampUsesTheUniversalOne) {
  ScratchDir dir;
  SerVideo v;
  v.UtcStamp = SerTicks(2019, 5, 4, 3, 2, 1);
  v.AddPatternFrames(1);
  const RunResult r = Convert("z.ser", v.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Te1=0.0000000 - pas d'horodatage\n")) << r.Console;
  EXPECT_NE(ReadFits("z.fit").Card("DATE-OBS").find("2019-05-04T03:02:01"), std::string::npos);
}

TEST(SerHeader, InstrumentTextLosesItsPaddingBeforeTheSeriesNumber) {
  ScratchDir dir;
  SerVideo v;
  v.Instrument = "ZWO ASI224MC";
  v.SeriesNumber = 17;
  v.AddPatternFrames(1);
  const RunResult r = Convert("i.ser", v.Bytes());
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage img = ReadFits("i.fit");
  EXPECT_NE(img.Card("DETECTOR").find("'ZWO ASI224MC; 17'"), std::string::npos) << img.Header;
  EXPECT_NE(img.Card("CREATOR").find("LUCAM-RECORDER"), std::string::npos) << img.Header;
}

TEST(SerLimits, MissingFramesAndTooLongVideos) {
  ScratchDir dir;
  SerVideo v;
  v.AddPatternFrames(2);
  WriteFile("m.ser", v.Bytes());
  RunResult r = RunOn("m.ser,3");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Image 3 absente")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("m.fit"));

  // A frame count larger than the file holds: the missing frame reads as zeros.
  v.DeclaredFrames = 3;
  WriteFile("p.ser", v.Bytes());
  r = RunOn("p.ser,3");
  EXPECT_EQ(r.Status, 3) << r.Console;
  const FitsImage img = ReadFits("p.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(Picture(img), std::vector<int64_t>(12, 0));

  // Rows of all frames beyond the largest image: refused before any output.
  SerVideo tall;
  tall.Width = 1;
  tall.Height = 30000;
  tall.AddPatternFrames(3);
  r = Convert("tall.ser", tall.Bytes());
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Vid\u00e9o trop longue")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("tall.fit"));
}

TEST(SerLimits, OneFrameOfAFourGigabyteVideoIsReadDirectly) {
  ScratchDir dir;
  SerVideo v;
  v.Width = 640;
  v.Height = 480;
  v.DeclaredFrames = 7000; // 4.3 GB of 16-bit frames
  const uint64_t frame = 640 * 480 * 2;
  {
    std::string head = v.Bytes();
    WriteFile("big.ser", head);
    std::filesystem::resize_file("big.ser", 178 + frame * 7000);
  }
  const auto start = std::chrono::steady_clock::now();
  RunResult r = RunOn("big.ser,1000");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_LT(seconds, 1.0);
  r = RunOn("big.ser");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Vid\u00e9o trop longue pour une seule image : 3360000 lignes")) << r.Console;
}

} // namespace
} // namespace korv
