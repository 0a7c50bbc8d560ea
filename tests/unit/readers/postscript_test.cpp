// PostScript / EPS image dictionaries through whole runs: the keys the scan
// reads, grey and colour samples from hexadecimal and ASCII85 data, 4-bit rows,
// short data, and the files that hold no usable image.

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

struct EpsImage {
  int Width = 2;
  int Height = 1;
  int Bits = 8;
  std::string Decode = "[0 1]";
  std::string Filter = "ASCIIHexDecode";
  std::string Data;           // encoded data, written after the image line
  std::string LineEnd = "\n"; // of the header lines
};

std::string Eps(const EpsImage& e) {
  const std::string n = e.LineEnd;
  std::string s = "%!PS-Adobe-3.0 EPSF-3.0" + n + "%%BoundingBox: 0 0 " + std::to_string(e.Width) +
                  " " + std::to_string(e.Height) + n + "<<" + n + "/ImageType 1" + n + "/Width " +
                  std::to_string(e.Width) + n + "/Height " + std::to_string(e.Height) + n +
                  "/BitsPerComponent " + std::to_string(e.Bits) + n + "/Decode " + e.Decode + n +
                  "/DataSource currentfile /" + e.Filter + " filter" + n + ">>" + n + "image" + n;
  return s + e.Data + "\nshowpage\n";
}

FitsImage Converted(const std::string& name, const EpsImage& e,
                    const std::vector<std::string>& options = {}) {
  const RasterRun r = ConvertFile(name + ".eps", Eps(e), options);
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Truncated.Missing, 0u);
  return ReadFitsImage(name + ".fit");
}

TEST(PostScriptScan, TranscriptOfTheDictionary) {
  ScratchDir dir;
  EpsImage e;
  e.Width = 1;
  e.Decode = "[0 1 0 1 0 1]";
  e.Data = "102030";
  const RasterRun r = ConvertFile("t.eps", Eps(e));
  EXPECT_EQ(r.Status, 0) << r.Console;
  const std::string expected = "Tfi=81\nExp\u00e9rimental\nrvb={0.299,0.587,0.114}\nNph=1\nNpV=1\n"
                               "Nbp=8\nNco=3\nCod=Hex\nImage\nSor=t.fit\n";
  EXPECT_NE(r.Console.find(expected), std::string::npos) << r.Console;

  // Brackets need no blanks around them, and the ASCII85 filter is named.
  e.Decode = "[0 1 0 1 0 1 0 1]def";
  e.Filter = "ASCII85Decode";
  e.Data = "z~>";
  const RasterRun r4 = ConvertFile("u.ps", Eps(e));
  EXPECT_TRUE(r4.Has("Nco=4")) << r4.Console;
  EXPECT_TRUE(r4.Has("Cod=A85")) << r4.Console;
}

TEST(PostScriptScan, FirstWidthAndHeightHold) {
  ScratchDir dir;
  // A second dictionary's sizes are printed but do not replace the first.
  std::string eps = "/Width 3\n/Height 1\n/Width 9\n/Height 5\n";
  eps += "/BitsPerComponent 8\n/Decode [0 1]\n/ASCIIHexDecode filter\nimage\n010203\n";
  const RasterRun r = ConvertFile("w.eps", eps);
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(r.Has("Nph=3") && r.Has("Nph=9") && r.Has("NpV=5")) << r.Console;
  const FitsImage img = ReadFitsImage("w.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Values, (Values{1, 2, 3}));

  // A width the scan cannot read (a name) leaves room for a later number.
  eps = "/Width cols def\n/Width 2\n/Height 1\n/BitsPerComponent 8\n/Decode [0 1]\n"
        "/ASCIIHexDecode filter\nimage\n0405\n";
  ASSERT_EQ(ConvertFile("n.eps", eps).Status, 0);
  EXPECT_EQ(ReadFitsImage("n.fit").Values, (Values{4, 5}));

  // /ImageType starts a new dictionary: its filter and components are needed again.
  eps = "/Width 1\n/Height 1\n/BitsPerComponent 8\n/Decode [0 1]\n/ASCIIHexDecode filter\n"
        "/ImageType 1\nimage\n07\n";
  const RasterRun reset = ConvertFile("r.eps", eps);
  EXPECT_EQ(reset.Status, 1) << reset.Console;
  EXPECT_TRUE(reset.Has("Pas d'image dans le fichier")) << reset.Console;
}

TEST(PostScriptSamples, GreyPassesUnchangedColourIsWeighted) {
  ScratchDir dir;
  EpsImage e;
  e.Width = 3;
  e.Height = 2;
  e.Data = "7F00FF\n010280\n";
  FitsImage img = Converted("g", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Bitpix, 16);
  EXPECT_EQ(img.Row(0), (Values{127, 0, 255}));
  EXPECT_EQ(img.Row(1), (Values{1, 2, 128}));

  // Three components: 255 red is 76.245, 255 green 149.685, 255 blue 29.07.
  e.Width = 4;
  e.Height = 1;
  e.Decode = "[0 1 0 1 0 1]";
  e.Data = "FF0000 00FF00 0000FF FFFFFF";
  img = Converted("c", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{76, 150, 29, 255}));
  // With option R only red counts.
  img = Converted("r", e, {"R"});
  EXPECT_EQ(img.Row(0), (Values{255, 0, 0, 255}));
}

TEST(PostScriptSamples, LineBreaksInsideTheData) {
  ScratchDir dir;
  EpsImage e;
  e.Width = 4;
  e.Data = "01\r\n02\r03 04";
  EXPECT_EQ(Converted("h", e).Values, (Values{1, 2, 3, 4}));
  e.Filter = "ASCII85Decode";
  e.Data = "!<N\r\n?+~>"; // 01 02 03 04
  EXPECT_EQ(Converted("a", e).Values, (Values{1, 2, 3, 4}));
}

TEST(PostScriptSamples, Ascii85GroupsAndEndMarker) {
  ScratchDir dir;
  EpsImage e;
  e.Filter = "ASCII85Decode";
  e.Width = 5;
  e.Height = 2;
  // z is four zero samples; the final group of three characters holds two bytes.
  e.Data = "z!<N?+\"U4~>";
  FitsImage img = Converted("z", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{0, 0, 0, 0, 1}));
  EXPECT_EQ(img.Row(1), (Values{2, 3, 4, 5, 6}));
  // Without the marker the data end with the groups the image needs.
  e.Width = 4;
  e.Height = 1;
  e.Data = "!<N?+";
  EXPECT_EQ(Converted("m", e).Values, (Values{1, 2, 3, 4}));
}

TEST(PostScriptSamples, FourBitRows) {
  ScratchDir dir;
  EpsImage e;
  e.Bits = 4;
  e.Width = 3;
  e.Height = 2;
  // Each row starts on a byte: the low half of every row's second byte is padding.
  e.Data = "12 3F\n45 6F";
  FitsImage img = Converted("h4", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{1, 2, 3}));
  EXPECT_EQ(img.Row(1), (Values{4, 5, 6}));
  // ASCII85 data carry two samples a byte as well: bytes 12 3F 45 6F.
  e.Filter = "ASCII85Decode";
  e.Data = "&jJg'~>";
  img = Converted("a4", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{1, 2, 3}));
  EXPECT_EQ(img.Row(1), (Values{4, 5, 6}));
  // Colour: one pixel of three 4-bit samples, then a padding half byte.
  e.Filter = "ASCIIHexDecode";
  e.Width = 1;
  e.Decode = "[0 1 0 1 0 1]";
  e.Data = "F0 0F 0F 0F";
  img = Converted("c4", e);
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{4})); // 15 x 0.299
  EXPECT_EQ(img.Row(1), (Values{9})); // 15 x 0.587
}

TEST(PostScriptSamples, ShortDataAreZerosAndRecorded) {
  ScratchDir dir;
  EpsImage e;
  e.Width = 3;
  e.Height = 2;
  e.Data = "0A0B>0C0D0E0F";
  RasterRun r = ConvertFile("s.eps", Eps(e));
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_EQ(r.Truncated.Missing, 4u) << r.Console;
  EXPECT_EQ(r.Truncated.Total, 6u);
  FitsImage img = ReadFitsImage("s.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(0), (Values{10, 11, 0}));
  EXPECT_EQ(img.Row(1), (Values{0, 0, 0}));

  // A bad character ends the data as the marker does.
  e.Filter = "ASCII85Decode";
  e.Data = "!<N?+\"U4v";
  r = ConvertFile("b.eps", Eps(e));
  EXPECT_EQ(r.Truncated.Missing, 2u) << r.Console;
  img = ReadFitsImage("b.fit");
  ASSERT_TRUE(img.Valid);
  EXPECT_EQ(img.Row(1), (Values{4, 0, 0}));
}

TEST(PostScriptRefusals, NoUsableImage) {
  ScratchDir dir;
  struct Case {
    const char* Name;
    std::string Eps;
    const char* Message;
  };
  EpsImage crlf;
  crlf.LineEnd = "\r\n"; // the CR stays in "image\r"
  crlf.Data = "0102";
  EpsImage noFilter;
  noFilter.Filter = "RunLengthDecode";
  EpsImage oneBit;
  oneBit.Bits = 1;
  EpsImage noDecode;
  noDecode.Decode = "[]";
  EpsImage noWidth;
  noWidth.Width = 0;
  EpsImage wide;
  wide.Width = 30001;
  EpsImage tall;
  tall.Height = 65536;
  EpsImage huge;
  huge.Width = 30000;
  huge.Height = 65535;
  huge.Data = "00";
  const std::vector<Case> cases = {
      {"crlf", Eps(crlf), "Pas d'image dans le fichier"},
      {"filter", Eps(noFilter), "Pas d'image dans le fichier"},
      {"bits", Eps(oneBit), "Pas d'image dans le fichier"},
      {"decode", Eps(noDecode), "Pas d'image dans le fichier"},
      {"text", "%!PS\n/Helvetica findfont 12 scalefont setfont\nshowpage\n",
       "Pas d'image dans le fichier"},
      {"empty", "", "Pas d'image dans le fichier"},
      {"nowidth", Eps(noWidth), "Taille d'image incorrecte : 0 x 1"},
      {"wide", Eps(wide), "Taille d'image incorrecte : 30001 x 1"},
      {"tall", Eps(tall), "Taille d'image incorrecte : 2 x 65536"},
      // A dictionary claiming a huge image over a few bytes of data.
      {"huge", Eps(huge), "Fichier tronqu\u00e9 : 3749 Mo de l'image manquent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const RasterRun r = ConvertFile(std::string(c.Name) + ".eps", c.Eps);
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_TRUE(r.Has(c.Message)) << r.Console;
    EXPECT_FALSE(std::filesystem::exists(std::string(c.Name) + ".fit"));
  }
}

TEST(PostScriptRefusals, CorpusFilesWithoutImageData) {
  const std::filesystem::path corpus = test::CorpusDir() / "eps";
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  unsigned files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().filename().string());
    // Read in place: the run stops before any output is named.
    const test::CommandResult r =
        test::RunCommand(test::ProgramPath() + " '" + entry.path().string() + "'");
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find("\nPas d'image dans le fichier\n"), std::string::npos) << r.Output;
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    ++files;
  }
  EXPECT_GE(files, 4u);
}

} // namespace
} // namespace korv
