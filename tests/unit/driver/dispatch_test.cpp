#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/text.h"
#include "driver/dispatch.h"
#include "driver/run.h"
#include "tests/test_support.h"

namespace korv {
namespace {

// Detects the format of one image argument; returns "Ent=...|Tfi=..." lines.
struct Detection {
  uint8_t Code;
  std::string Transcript;
  std::string Path;
};
Detection Detect(const std::string& argument) {
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", argument}, out);
  const uint8_t code = DetectFormat(*cv);
  return {code, out.str(), cv->State.InputFilePath.str()};
}

std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string s;
  for (std::string_view l : lines) s.append(l).push_back('\n');
  return s;
}

TEST(ExtensionTable, EveryExtensionIsUniqueAndShort) {
  std::set<std::string> seen;
  for (const ExtensionRow& row : ExtensionTable) {
    SCOPED_TRACE(std::string(row.Extension));
    EXPECT_TRUE(seen.insert(FoldUpper(row.Extension).str()).second);
    EXPECT_GE(row.Extension.size(), 1u);
    EXPECT_LE(row.Extension.size(), 4u);
    EXPECT_EQ(FoldUpper(row.Extension).str().size(), row.Extension.size());
    EXPECT_NE(row.FormatCode, 35); // that entry has no extension
  }
}

TEST(DetectFormat, ExtensionsMatchInAnyCase) {
  test::ScratchDir dir;
  const std::vector<std::pair<std::string, int>> cases = {
      {"x.FIT", 60},       {"x.fit", 60},      {"x.Fit", 60},       {"image.ps", 81},
      {"image.surf", 55},  {"a.fz", 62},       {"a.AT1", 63},       {"a.fip", 61},
      {"a.FIV", 61},       {"a.fits", 62},     {"photo.NEF", 33},   {"cam.cr2", 34},
      {"scan.tif", 30},    {"m.PgM", 20},      {"x.abc", 0},        {"x.fitsx", 0},
      {"x.cpa", 7},        {"x.pic", 8},       {"x.003", 50},       {"x.237", 5},
  };
  for (const auto& [name, code] : cases) {
    SCOPED_TRACE(name);
    const Detection d = Detect(name);
    EXPECT_EQ(d.Code, code);
    EXPECT_EQ(d.Transcript, Lines({"Ent=" + name, "Tfi=" + std::to_string(code)}));
  }
}

TEST(DetectFormat, StoredPathAndSelectionList) {
  test::ScratchDir dir;
  EXPECT_EQ(Detect("image.fit,3,-5,6").Transcript, Lines({"Ent=image.fit", "Tfi=60"}));
  EXPECT_EQ(Detect("/data//night\\m51.fts").Path, "|data|night|m51.fts");
  // A dot in a directory is not an extension; nothing exists, so the probe fails.
  const Detection d = Detect("dir.old/name");
  EXPECT_EQ(d.Code, 0);
  EXPECT_EQ(d.Transcript, Lines({"Ent=dir.old|name.", "Tfi=0"}));
  // A name ending in a dot has an empty extension, which matches nothing.
  EXPECT_EQ(Detect("x.").Code, 0);
  // Characters outside the extension set stop the walk before any dot.
  EXPECT_EQ(Detect("x.f+t").Code, 0);
}

TEST(DetectFormat, NameLongerThanTheStoredPathIsRefused) {
  test::ScratchDir dir;
  // Cut to 255 bytes, the long name would lead to this other file.
  const std::string shortName = std::string(251, 'a') + ".fit";
  test::WriteFile(shortName, "x");
  const Detection d = Detect(shortName + "s,2");
  EXPECT_EQ(d.Code, 0);
  EXPECT_EQ(d.Transcript, Lines({"Ent=" + shortName, "Tfi=0", "Nom de fichier trop long."}));
  EXPECT_EQ(Detect(std::string(300, 'b')).Code, 0); // no probe either
  EXPECT_EQ(Detect(shortName).Code, 60);            // 255 bytes exactly still fit
}

TEST(DetectFormat, ProbeVisitsRowsInOrderLowerThenUpperCase) {
  struct Case {
    std::vector<std::string> files;
    std::string argument, entry;
    int code;
  };
  const std::vector<Case> cases = {
      {{"m.fip", "m.fit"}, "m", "m.fip", 61},
      {{"m.fit"}, "m", "m.fit", 60},          // row 0 comes last
      {{"m.FIT"}, "m", "m.FIT", 60},
      {{"m.fit", "m.FIP"}, "m", "m.FIP", 61}, // row order before letter case
      {{"m.gif", "m.fts"}, "m", "m.fts", 62},
      {{"m.surf", "m.fz"}, "m", "m.surf", 55},
      {{"m.fz"}, "m", "m.fz", 62},
      {{"dir.old/name.pgm"}, "dir.old/name", "dir.old|name.pgm", 20},
      {{"m.fit/keep"}, "m", "m.", 0},        // a directory never matches
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument + " -> " + c.entry);
    test::ScratchDir dir;
    std::filesystem::create_directory("dir.old");
    for (const std::string& f : c.files) {
      std::filesystem::create_directories(std::filesystem::path(f).parent_path().empty()
                                              ? std::filesystem::path(".")
                                              : std::filesystem::path(f).parent_path());
      test::WriteFile(f, "x");
    }
    const Detection d = Detect(c.argument);
    EXPECT_EQ(d.Code, c.code);
    EXPECT_EQ(d.Transcript, Lines({"Ent=" + c.entry, "Tfi=" + std::to_string(c.code)}));
  }
}

TEST(Dispatch, CodesWithoutReaderStopWithStatusOne) {
  for (const std::string name : {"x.abc", "x.cpa", "x.pic", "m", "x."}) {
    SCOPED_TRACE(name);
    test::ScratchDir dir;
    std::ostringstream out;
    const int status = korv::Run({"korvalix", name, "Z2"}, out);
    EXPECT_EQ(status, 1);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("Ent=", 0), 0u);
    EXPECT_EQ(text.find("KORVALIX image"), std::string::npos); // no usage block
    EXPECT_NE(text.find("KORVALIX"), std::string::npos);       // the author notice
  }
}

TEST(Dispatch, LittleEndianFitsTogglesTheSampleOrder) {
  test::ScratchDir dir;
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix", "absent.at1"}, out);
  try {
    Dispatch(*cv);
  } catch (const StopRun&) {
  }
  EXPECT_EQ(cv->State.FormatCode, 63);
  EXPECT_EQ(cv->State.LittleEndianSamples, 1);
}

TEST(MainRoutine, NoArgumentsPrintsUsageAndSucceeds) {
  std::ostringstream out;
  EXPECT_EQ(korv::Run({"korvalix"}, out), 0);
  EXPECT_EQ(out.str().rfind("KORVALIX image[,[-]num]\n", 0), 0u);
  std::ostringstream blank;
  EXPECT_EQ(korv::Run({"korvalix", "", ""}, blank), 0); // empty arguments do not count
  EXPECT_EQ(blank.str(), out.str());
}

TEST(MainRoutine, UnknownFormatTranscript) {
  test::ScratchDir dir;
  std::ostringstream out;
  EXPECT_EQ(korv::Run({"korvalix", "x.abc"}, out), 1);
  std::ostringstream none;
  korv::Run({"korvalix"}, none);
  // The failure transcript is the detection lines, the reason and the author notice.
  const std::string usage = none.str();
  const std::string notice = usage.substr(usage.find("[EFFACE]\n") + 9);
  EXPECT_EQ(out.str(), "Ent=x.abc\nTfi=0\nFormat inconnu : x.abc\n" + notice);
}

TEST(MainRoutine, EffaceKeepsTheInputWhenNothingWasConverted) {
  test::ScratchDir dir;
  test::WriteFile("bad.pgm", "P5\n0 0\n255\n");
  std::ostringstream out;
  EXPECT_EQ(korv::Run({"korvalix", "bad.pgm", "EFFACE"}, out), 1);
  EXPECT_TRUE(std::filesystem::exists("bad.pgm"));
  EXPECT_FALSE(std::filesystem::exists("bad.fit"));
}

} // namespace
} // namespace korv
