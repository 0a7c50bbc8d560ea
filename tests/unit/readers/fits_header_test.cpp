// The FITS header walk: structure, selection and mosaic layout, metadata
// keywords, refusals, hostile headers and real files by other software.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/julian.h"
#include "driver/run.h"
#include "readers/fits/fits_reader.h"
#include "tests/test_support.h"

namespace korv {
namespace {

constexpr double Deg = Pi / 180.0;

std::string Card(std::string_view text) {
  std::string c(text.substr(0, 80));
  c.resize(80, ' ');
  return c;
}

std::string PadTo2880(std::string s, char fill) {
  s.resize((s.size() + 2879) / 2880 * 2880, fill);
  return s;
}

// A header of the given cards followed by END, padded to whole blocks.
std::string Header(const std::vector<std::string>& cards) {
  std::string h;
  for (const std::string& c : cards) h += Card(c);
  h += Card("END");
  return PadTo2880(h, ' ');
}

std::string Data(std::size_t bytes) { return PadTo2880(std::string(bytes, '\x01'), '\0'); }

// A primary image HDU: header with the given extra cards, then its data.
std::string Image(int bitpix, int width, int height, const std::vector<std::string>& extra = {},
                  bool primary = true) {
  std::vector<std::string> cards = {
      primary ? "SIMPLE  =                    T" : "XTENSION= 'IMAGE   '",
      "BITPIX  = " + std::to_string(bitpix), "NAXIS   = 2", "NAXIS1  = " + std::to_string(width),
      "NAXIS2  = " + std::to_string(height)};
  if (!primary) {
    cards.push_back("PCOUNT  = 0");
    cards.push_back("GCOUNT  = 1");
  }
  cards.insert(cards.end(), extra.begin(), extra.end());
  return Header(cards) + Data(static_cast<std::size_t>(std::abs(bitpix) / 8 * width * height));
}

struct HeaderRun {
  std::unique_ptr<std::ostringstream> Out = std::make_unique<std::ostringstream>();
  std::unique_ptr<Conversion> Cv;
  std::vector<TileCompression> Tiles = std::vector<TileCompression>(MaxSelections + 1);
  bool Stopped = false;

  const ImageState& State() const { return Cv->State; }
  const SelectionEntry& Entry(unsigned i) const { return Cv->State.SelectionList[i]; }
  std::string Text() const { return Out->str(); }
  bool Said(std::string_view line) const {
    return ("\n" + Text()).find("\n" + std::string(line) + "\n") != std::string::npos;
  }
};

// Runs the header passes over an in-memory file named by the image argument.
HeaderRun ReadHeaders(const std::string& file, const std::string& imageArgument = "t.fits",
                      const std::vector<std::string>& options = {}, uint16_t variant = 2) {
  HeaderRun r;
  std::vector<std::string> args = {"korvalix", imageArgument};
  args.insert(args.end(), options.begin(), options.end());
  r.Cv = test::MakeConversion(args, *r.Out);
  r.Cv->State.FullOutput = 1;
  r.Cv->State.InputFilePath = imageArgument.substr(0, imageArgument.find(','));
  r.Cv->Input.UseMemory({reinterpret_cast<const uint8_t*>(file.data()), file.size()});
  try {
    ReadFitsHeaders(*r.Cv, variant, r.Tiles);
  } catch (const StopRun&) {
    r.Stopped = true;
  }
  return r;
}

std::size_t Count(const std::string& text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

TEST(FitsHeaderWalk, CardsSeparatedByLineEnds) {
  std::string text;
  for (const char* c : {"SIMPLE  =                    T", "BITPIX  =                   16",
                        "NAXIS   =                    2", "NAXIS1  =                    4",
                        "NAXIS2  =                    3", "OBJECT  = 'M42     ' / target",
                        "EXPTIME =                 30.0 / [s]", "END"})
    text += Card(c) + "\r\n";
  const std::string file = PadTo2880(text, ' ') + Data(24);
  const HeaderRun r = ReadHeaders(file);
  ASSERT_FALSE(r.Stopped) << r.Text();
  EXPECT_EQ(r.State().ImageWidth, 4);
  EXPECT_EQ(r.State().ImageHeight, 3);
  EXPECT_EQ(r.Entry(1).DataOffset, 2880);
  EXPECT_EQ(r.State().ObjectName.view(), "M42");
  EXPECT_DOUBLE_EQ(r.State().Exptime, 30.0);
}

TEST(FitsHeaderWalk, SingleAxisIsOneRow) {
  const std::string file =
      Header({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 1", "NAXIS1  = 10"}) + Data(20);
  const HeaderRun r = ReadHeaders(file);
  ASSERT_FALSE(r.Stopped) << r.Text();
  EXPECT_EQ(r.State().ImageWidth, 10);
  EXPECT_EQ(r.State().ImageHeight, 1);
  EXPECT_EQ(r.Entry(1).RowBytes, 20);
  EXPECT_TRUE(r.Said("Npv=1"));
}

TEST(FitsHeaderWalk, ExtensionsStackVerticallyWithoutTables) {
  const std::string primary =
      Header({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 0", "EXTEND  = T", "DATE-OBS= '2020-02-03'",
              "TIME-OBS= '01:02:03'", "INSTRUME= 'WIDECAM'"});
  const std::string table =
      Header({"XTENSION= 'BINTABLE'", "BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 12", "NAXIS2  = 3",
              "PCOUNT  = 100", "GCOUNT  = 1", "TFIELDS = 1"}) +
      Data(136);
  const std::string file = primary + Image(16, 10, 5, {"OBJECT  = 'A'"}, false) + table +
                           Image(8, 8, 7, {"OBJECT  = 'B'"}, false);
  const HeaderRun r = ReadHeaders(file);
  ASSERT_FALSE(r.Stopped) << r.Text();
  EXPECT_TRUE(r.Said("Typ=Table"));
  EXPECT_TRUE(r.Said("Sim=4"));
  EXPECT_EQ(r.State().ImageWidth, 10);
  EXPECT_EQ(r.State().ImageHeight, 12);
  EXPECT_EQ(r.Entry(1).Width, 10);
  EXPECT_EQ(r.Entry(1).Bitpix, 16);
  EXPECT_EQ(r.Entry(1).DataOffset, 5760);
  EXPECT_EQ(r.Entry(2).Width, 8);
  EXPECT_EQ(r.Entry(2).Bitpix, 8);
  // The table's heap is part of its data: the next header follows it.
  EXPECT_EQ(r.Entry(2).HeaderOffset, 14400);
  EXPECT_EQ(r.Entry(2).DataOffset, 17280);
  EXPECT_EQ(r.Entry(2).MosaicRow, 2);
  EXPECT_EQ(r.Entry(3).Width, 0);
  // The data-less primary header describes its extensions.
  EXPECT_NEAR(r.State().DateObs, JulianDate(2020, 2, 3) + (3600 + 120 + 3) / 86400.0, 1e-8);
  EXPECT_EQ(r.State().Detector.view(), "WIDECAM");
  EXPECT_EQ(r.State().ObjectName.view(), "A, B");
}

TEST(FitsHeaderWalk, GroupsFormMosaicRows) {
  const std::string file = Image(16, 10, 4) + Image(16, 20, 6, {}, false) +
                           Image(16, 5, 3, {}, false) + Image(16, 7, 2, {}, false);
  const HeaderRun r = ReadHeaders(file, "t.fits,1,2,-3,4");
  ASSERT_FALSE(r.Stopped) << r.Text();
  EXPECT_EQ(r.State().ImageWidth, 30); // the wider row
  EXPECT_EQ(r.State().ImageHeight, 9); // the tallest of each mosaic row: 6 + 3
  const int rows[] = {1, 1, 2, 2};
  const int columns[] = {1, 2, 1, 2};
  const int widths[] = {10, 20, 5, 7};
  for (unsigned i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.Entry(i).MosaicRow, rows[i - 1]);
    EXPECT_EQ(r.Entry(i).MosaicColumn, columns[i - 1]);
    EXPECT_EQ(r.Entry(i).Width, widths[i - 1]);
  }

  // Missing images leave gaps that the layout closes.
  const HeaderRun g = ReadHeaders(file, "t.fits,9,-2,-4");
  ASSERT_FALSE(g.Stopped) << g.Text();
  EXPECT_EQ(g.Entry(1).Width, 20);
  EXPECT_EQ(g.Entry(1).MosaicRow, 1);
  EXPECT_EQ(g.Entry(2).Width, 7);
  EXPECT_EQ(g.Entry(2).MosaicRow, 2);
  EXPECT_EQ(g.State().ImageHeight, 8);
  EXPECT_TRUE(g.Said("Dem=non"));
}

TEST(FitsHeaderWalk, CubePlanes) {
  const std::string file =
      Header({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 3", "NAXIS1  = 4", "NAXIS2  = 3",
              "NAXIS3  = 3", "DATE-OBS= '2006-01-05T00:00:00'", "EXPOSURE= 10.0"}) +
      Data(72);
  const HeaderRun outside = ReadHeaders(file, "t.fits,4");
  EXPECT_TRUE(outside.Stopped);
  EXPECT_TRUE(outside.Said("Seulement 1<=sim<=3"));
  const HeaderRun none = ReadHeaders(file);
  EXPECT_TRUE(none.Stopped);

  const HeaderRun second = ReadHeaders(file, "t.fits,2");
  ASSERT_FALSE(second.Stopped) << second.Text();
  EXPECT_TRUE(second.Said("N3d=4x3x3"));
  EXPECT_EQ(second.State().PlaneNumber, 2);
  EXPECT_EQ(second.Entry(1).DataOffset, 2880 + 24);
  EXPECT_EQ(second.State().ImageWidth, 4);
  EXPECT_EQ(second.State().ImageHeight, 3);
  // The second plane starts one exposure later.
  EXPECT_NEAR(second.State().DateObs, JulianDate(2006, 1, 5) + 10 / 86400.0, 1e-8);
}

TEST(FitsHeaderKeywords, ExposureUnits) {
  struct {
    const char* Card;
    double Seconds;
  } const cases[] = {
      {"EXPTIME = 1500 / [ms] exposure", 1.5},
      {"EXPTIME = 1500 / exposure in milliseconds", 1.5},
      {"EXPTIME = 1500 / [s] MIDAS convention", 1500},
      {"EXPTIME = 2 / [min]", 120},
      {"EXPTIME = 2 / exposure in minutes", 120},
      {"TEXP    = 2.5", 2.5},
      {"EXPOSURE= 250 / msec", 0.25},
      {"TIME    = '23:59:50.00 TO 00:00:10.00'", 20},
      {"TM-EXPOS= 7", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Card);
    const HeaderRun r = ReadHeaders(Image(16, 2, 2, {c.Card}));
    ASSERT_FALSE(r.Stopped) << r.Text();
    EXPECT_NEAR(r.State().Exptime, c.Seconds, 1e-9);
  }
}

TEST(FitsHeaderKeywords, SkyPositionFirstWins) {
  const HeaderRun r =
      ReadHeaders(Image(16, 2, 2,
                        {"CTYPE1  = 'RA---TAN'", "OBJCTRA = '12 30 00'", "RA      = '10 00 00'",
                         "CRVAL1  = 50.0", "OBJCTDEC= '-10 30 00'", "DEC     = '+20'"}));
  ASSERT_FALSE(r.Stopped) << r.Text();
  EXPECT_NEAR(r.State().RightAscension, 187.5 * Deg, 1e-12);
  EXPECT_EQ(r.State().RightAscensionSet, 1);
  EXPECT_DOUBLE_EQ(r.State().Crval1, 50.0);
  EXPECT_NEAR(r.State().Declination, -10.5 * Deg, 1e-12);

  // The WCS reference fills in until a pointing keyword comes.
  const HeaderRun w = ReadHeaders(Image(
      16, 2, 2,
      {"CTYPE1  = 'RA---TAN-SIP'", "CTYPE2  = 'GLAT-CAR'", "CRVAL1  = 50.0", "CRVAL2  = 10.0"}));
  EXPECT_NEAR(w.State().RightAscension, 50 * Deg, 1e-12);
  EXPECT_EQ(w.State().RightAscensionSet, 2);
  EXPECT_EQ(w.State().Ctype1.view(), "RA---TAN");
  EXPECT_EQ(w.State().DeclinationSet, 0);
  EXPECT_EQ(w.State().Ctype2.view(), "");
  const HeaderRun later =
      ReadHeaders(Image(16, 2, 2, {"CTYPE1  = 'RA---TAN'", "CRVAL1  = 50.0", "RA      = '1 0 0'"}));
  EXPECT_NEAR(later.State().RightAscension, 15 * Deg, 1e-12);

  // A position given on the command line is never replaced.
  const HeaderRun fixed =
      ReadHeaders(Image(16, 2, 2, {"RA      = '10 00 00'"}), "t.fits", {"K12.3000,+45"});
  EXPECT_NEAR(fixed.State().RightAscension, 187.5 * Deg, 1e-9);
}

TEST(FitsHeaderKeywords, ProducerDetection) {
  const std::vector<std::string> signs = {"BITPIX  = 16 / AstroArt", "TELESCOP= 'DK-1.54'",
                                          "INSTRUME= 'SONY CCD'", "LOCATION= '175 OFXB St-Luc'",
                                          "LSPNSEQ = 3"};
  std::string file =
      Header({"SIMPLE  = T / made by CCDSoft", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 2",
              "NAXIS2  = 2", signs[0], signs[1], signs[2], signs[3], signs[4]}) +
      Data(8);
  const HeaderRun first = ReadHeaders(file);
  EXPECT_EQ(first.State().SourceSoftware, 3);
  EXPECT_EQ(Count(first.Text(), "Bul="), 1u) << first.Text();
  EXPECT_TRUE(first.Said("Bul=CCDSOFT"));

  const HeaderRun norm = ReadHeaders(file, "t.fits", {"ENORM"});
  EXPECT_EQ(norm.State().SourceSoftware, 1);
  EXPECT_EQ(Count(norm.Text(), "Bul="), 1u) << norm.Text(); // the option's own line

  const HeaderRun euler =
      ReadHeaders(Image(16, 2, 2, {"TYPE    = 'dark' / E.TYPE of frame", "TIMEFF  = 99"}));
  EXPECT_EQ(euler.State().SourceSoftware, 10);
  EXPECT_TRUE(euler.Said("Bul=Euler"));
  EXPECT_EQ(euler.State().ImageType.view(), "dark");

  std::string withNul = Image(16, 2, 2, {"COMMENT x"});
  withNul[5 * 80 + 20] = '\0';
  const HeaderRun prism = ReadHeaders(withNul);
  EXPECT_EQ(prism.State().SourceSoftware, 7);
  EXPECT_TRUE(prism.Said("Bul=PISCO ou PRISM"));
}

TEST(FitsHeaderKeywords, HierarchAndSiteKeywords) {
  const HeaderRun r = ReadHeaders(Image(
      16, 2, 2,
      {"HIERARCH ESO INS FILT1 NAME = 'R_COUSINS' / filter", "HIERARCH ESO DET WIN12 BINX = 2",
       "HIERARCH ESO TEL GEOLAT = -24.6", "HIERARCH ESO DET PIXSIZE2 = 15.0",
       "HIERARCH ESO UNKNOWN KEY = 'x'", "FILTER  = 'V'", "SITELONG= '70 24 W'", "OBS-ELEV= 0",
       "GAIN    = 1.5", "GAIN    = 2.5", "XPIXSZ  = 9.0 / microns", "AIRMASS = 12",
       "OBS_CODE= 'G96'", "CCD-TEMP= -20.5", "BINY    = 7"}));
  ASSERT_FALSE(r.Stopped) << r.Text();
  const ImageState& s = r.State();
  EXPECT_EQ(s.Filter.view(), "Rc"); // the first filter card wins
  EXPECT_EQ(s.HeaderBinX, 2);
  EXPECT_EQ(s.HeaderBinY, 0); // 7 is not a binning
  EXPECT_NEAR(s.ObsLatitude, -24.6 * Deg, 1e-12);
  EXPECT_NEAR(s.ObsLongitude, (360 - 70.4) * Deg, 1e-12);
  EXPECT_EQ(s.ObsAltitudeSet, 2);
  EXPECT_DOUBLE_EQ(s.Gain, 2.5);
  // 9 microns per unbinned pixel, and 15 along columns; the header bins by 2 in x.
  EXPECT_NEAR(s.PixelSizeX, 0.018, 1e-12);
  EXPECT_NEAR(s.PixelSizeY, 0.015, 1e-12);
  EXPECT_EQ(s.AirmassSet, 0);
  EXPECT_DOUBLE_EQ(s.ObsCode, 1696);
  EXPECT_DOUBLE_EQ(s.DetectorTemp, -20.5);

  EXPECT_EQ(MapHierarchKeyword("HIERARCH CAHA INS FILT12 NAME ").view(), "FILTERS");
  EXPECT_EQ(MapHierarchKeyword("HIERARCH QXA DET PIXSIZE1").view(), "PIXSIZE1");
  EXPECT_EQ(MapHierarchKeyword("HIERARCH ESO DET PIXSIZE3").view(), "");
}

TEST(FitsHeaderKeywords, CardValueAndComment) {
  const CardValue a = SplitCardValue("'a/b ''x'' '  / Some/Comment");
  EXPECT_EQ(a.Value.view(), "a/b 'x"); // doubled quotes are undone
  EXPECT_EQ(a.Comment.view(), "SOME/COMMENT");
  const CardValue b = SplitCardValue(std::string("  12.5\0\x1b", 8));
  EXPECT_EQ(b.Value.view(), "12.5");
  EXPECT_EQ(b.Comment.view(), "");

  // Values that say nothing are ignored, whatever the keyword.
  const HeaderRun r =
      ReadHeaders(Image(16, 2, 2, {"OBSERVER= 'Unknown'", "TELESCOP= 'not specified'"}));
  EXPECT_EQ(r.State().Observer.view(), "");
  EXPECT_EQ(r.State().Telescope.view(), "");
}

TEST(FitsHeaderRefusals, NotFitsAndOwnFiles) {
  for (const std::string& bad :
       {std::string(), Header({"XIMPLE  = T"}), std::string("\r\n\r\n"), Data(10)}) {
    const HeaderRun r = ReadHeaders(bad);
    EXPECT_TRUE(r.Stopped);
    EXPECT_TRUE(r.Said("Pas du fits !")) << r.Text();
  }
  const std::string own = Image(16, 2, 2, {"CREATOR = 'KORVALIX 1.0'"});
  const HeaderRun again = ReadHeaders(own, "t.fit", {}, 0);
  EXPECT_TRUE(again.Stopped);
  EXPECT_TRUE(again.Said("Image d\u00e9j\u00e0 convertie"));
  // Into the compressed kind it may be converted; the name must then differ.
  const HeaderRun compress = ReadHeaders(own, "t.fit", {"CPRP"}, 0);
  EXPECT_FALSE(compress.Stopped) << compress.Text();
  EXPECT_EQ(compress.State().NamingMode, 0);
  const HeaderRun plain = ReadHeaders(Image(16, 2, 2), "t.fit", {}, 0);
  EXPECT_EQ(plain.State().NamingMode, 1);
  EXPECT_EQ(plain.State().Creator.view(), "");
}

TEST(FitsHeaderHostile, BrokenStructures) {
  const std::string base = Image(16, 4, 4);
  // No END, then binary bytes: the header ends at the first impossible keyword.
  std::string noEnd =
      Header({"SIMPLE  = T", "BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 4", "NAXIS2  = 4"});
  noEnd.replace(noEnd.find("END"), 3, "\x01\x02\x03");
  noEnd += Data(16);
  const HeaderRun a = ReadHeaders(noEnd);
  EXPECT_FALSE(a.Stopped) << a.Text();
  EXPECT_EQ(a.State().ImageWidth, 4);

  struct {
    const char* Name;
    std::string File;
  } const stops[] = {
      {"cut inside the header", base.substr(0, 300)},
      {"axis of 2^31", Image(16, 4, 4, {"NAXIS1  = 2147483648"})},
      {"row wider than 30000", Image(8, 4, 4, {"NAXIS1  = 40000"})},
      {"more than 65535 rows", Image(8, 4, 4, {"NAXIS2  = 70000"})},
      {"huge BITPIX", Image(16, 4, 4, {"BITPIX  = 99999999"})},
      {"negative BITPIX", Image(16, 4, 4, {"BITPIX  = -2147483648"})},
      {"no axes", Image(16, 4, 4, {"NAXIS   = 0", "NAXIS1  = 0"})},
  };
  for (const auto& c : stops) {
    SCOPED_TRACE(c.Name);
    const HeaderRun r = ReadHeaders(c.File);
    EXPECT_TRUE(r.Stopped) << r.Text();
  }

  // A header claiming 3.6 GB of samples from one block of data is refused early.
  const HeaderRun big = ReadHeaders(Image(16, 4, 4, {"NAXIS1  = 30000", "NAXIS2  = 60000"}));
  EXPECT_TRUE(big.Stopped);
  EXPECT_TRUE(big.Said("Fichier trop court pour l'image d\u00e9clar\u00e9e")) << big.Text();
  // A slightly short file is still converted (the missing rows read as zeros).
  const HeaderRun shortFile = ReadHeaders(Image(16, 100, 100).substr(0, 2880 + 10000));
  EXPECT_FALSE(shortFile.Stopped) << shortFile.Text();
}

TEST(FitsHeaderHostile, ManyHdusAreCapped) {
  std::string file = Header({"SIMPLE  = T", "BITPIX  = 8", "NAXIS   = 0"});
  for (int i = 0; i < 130; ++i) file += Image(8, 2, 2, {}, false);
  const HeaderRun r = ReadHeaders(file);
  ASSERT_FALSE(r.Stopped) << r.Text().substr(0, 400);
  EXPECT_EQ(Count(r.Text(), "Oen="), 116u);
  EXPECT_EQ(r.State().ImageHeight, 30); // HDUs 2 to 16, of 2 rows each
}

TEST(FitsHeaderHostile, MutatedHeadersNeverCrash) {
  const std::string base =
      Image(16, 6, 5,
            {"DATE-OBS= '05/01/06T12:30:00'", "OBJECT  = 'M1, M2'", "RA = '1 2 3'",
             "SITELONG= 'W 6 5 4'", "HIERARCH ESO INS FILT1 NAME = 'B'"}) +
      Image(32, 3, 3, {}, false);
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::string f = base;
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % f.size();
      switch (rng() % 4) {
      case 0: f[at] = static_cast<char>(rng()); break;
      case 1: f[at] = "0123456789-=/' \r\n"[rng() % 17]; break;
      case 2: f.resize(at); break;
      default: f.insert(at, std::string(rng() % 200, ' ')); break;
      }
      if (f.empty()) break;
    }
    SCOPED_TRACE(round);
    ReadHeaders(f);
  }
}

// Real files written by other software.
std::filesystem::path Corpus() {
  const std::filesystem::path dir = test::CorpusDir();
  if (dir.empty() && std::getenv("CI")) ADD_FAILURE() << "the shared corpus is missing";
  return dir.empty() ? dir : dir / "fits";
}

#define KORV_NEED_CORPUS(dir)                                                                      \
  if ((dir).empty()) GTEST_SKIP() << "shared corpus not found"

HeaderRun ReadCorpus(const std::filesystem::path& dir, const std::string& name,
                     const std::string& numbers = "") {
  return ReadHeaders(test::ReadFile(dir / name), name + numbers);
}

TEST(FitsHeaderCorpus, ImagesAndMetadata) {
  const auto dir = Corpus();
  KORV_NEED_CORPUS(dir);

  const HeaderRun wfpc = ReadCorpus(dir, "test0.fits");
  ASSERT_FALSE(wfpc.Stopped) << wfpc.Text();
  EXPECT_EQ(wfpc.State().ImageWidth, 40);
  EXPECT_EQ(wfpc.State().ImageHeight, 160);
  EXPECT_EQ(wfpc.Entry(4).Width, 40);
  EXPECT_FLOAT_EQ(wfpc.Entry(1).Bzero, 0.0f); // only the data-less primary has one
  EXPECT_EQ(wfpc.State().Detector.view(), "WFPC2");
  EXPECT_NEAR(wfpc.State().DateObs, JulianDate(1994, 5, 19) + (15 * 3600 + 41 * 60 + 16) / 86400.0,
              1e-8);
  EXPECT_DOUBLE_EQ(wfpc.State().Exptime, 0.23);

  const HeaderRun scale = ReadCorpus(dir, "scale.fits");
  ASSERT_FALSE(scale.Stopped) << scale.Text();
  EXPECT_FLOAT_EQ(scale.Entry(1).Bzero, 1500.0f);
  EXPECT_NEAR(scale.Entry(1).Bscale, 0.045777764, 1e-8);
  EXPECT_EQ(scale.State().ImageWidth, 20);
  EXPECT_EQ(scale.State().ImageHeight, 21);

  const HeaderRun m13 = ReadCorpus(dir, "m13.fits");
  ASSERT_FALSE(m13.Stopped) << m13.Text();
  EXPECT_EQ(m13.State().ImageWidth, 300);
  EXPECT_EQ(m13.Entry(1).DataOffset, 2880);

  const HeaderRun azp = ReadCorpus(dir, "1904-66_AZP.fits");
  ASSERT_FALSE(azp.Stopped) << azp.Text();
  EXPECT_EQ(azp.Entry(1).Bitpix, -32);
  EXPECT_EQ(azp.State().ImageWidth, 192);
  EXPECT_EQ(azp.State().WcsRaAxis, 0); // a zenithal projection is not carried over

  const HeaderRun lorri = ReadCorpus(dir, "lor_0034974377_0x630_sci_1_cropped.fit");
  ASSERT_FALSE(lorri.Stopped) << lorri.Text();
  EXPECT_EQ(lorri.State().ImageWidth, 25);
  EXPECT_EQ(lorri.State().ImageHeight, 9);
  EXPECT_EQ(lorri.Entry(1).Bitpix, -32);
  EXPECT_EQ(lorri.Entry(3).Bitpix, 16);
  EXPECT_FLOAT_EQ(lorri.Entry(3).Bzero, 32768.0f);
  EXPECT_DOUBLE_EQ(lorri.State().Exptime, 0.02);
  EXPECT_EQ(lorri.State().NamingMode, 1); // a .fit input is not overwritten

  const HeaderRun iraf = ReadCorpus(dir, "simple.fits");
  ASSERT_FALSE(iraf.Stopped) << iraf.Text();
  EXPECT_EQ(iraf.State().ObjectName.view(), "m51  B  600s");
  EXPECT_NEAR(iraf.State().DateObs, JulianDate(1987, 4, 5) + (9 * 3600 + 27 * 60 + 27) / 86400.0,
              1e-8);
  EXPECT_NEAR(iraf.State().RightAscension, (13 + 29 / 60.0 + 24 / 3600.0) * 15 * Deg, 1e-12);
  EXPECT_NEAR(iraf.State().Declination, (47 + 15 / 60.0 + 34 / 3600.0) * Deg, 1e-12);

  const HeaderRun tiled = ReadCorpus(dir, "comp.fits");
  ASSERT_FALSE(tiled.Stopped) << tiled.Text();
  EXPECT_TRUE(tiled.Said("Cmp=5"));
  EXPECT_EQ(tiled.Entry(1).CompressionCode, 5);
  EXPECT_EQ(tiled.Entry(1).RowBytes, 0);
  EXPECT_EQ(tiled.State().ImageWidth, 440);
  EXPECT_EQ(tiled.State().ImageHeight, 300);
  EXPECT_TRUE(tiled.Tiles[1].IsImage);
  EXPECT_EQ(tiled.State().ObjectName.view(), "NGC 1316");
  EXPECT_EQ(tiled.State().Telescope.view(), "Optical");

  const HeaderRun rgb = ReadCorpus(dir, "rgb.fits", ",2");
  ASSERT_FALSE(rgb.Stopped) << rgb.Text();
  EXPECT_EQ(rgb.Entry(1).DataOffset, 8640 + 32 * 32 * 4); // a 101-card header
  EXPECT_EQ(rgb.State().ImageWidth, 32);
}

TEST(FitsHeaderCorpus, FilesWithoutImages) {
  const auto dir = Corpus();
  KORV_NEED_CORPUS(dir);
  const HeaderRun table = ReadCorpus(dir, "iter_a.fit");
  EXPECT_TRUE(table.Stopped);
  EXPECT_TRUE(table.Said("Typ=Table"));
  const HeaderRun cube = ReadCorpus(dir, "arange.fits");
  EXPECT_TRUE(cube.Said("Seulement 1<=sim<=7"));
  for (const char* name : {"broken_no_END.fits", "exiftool_FITS.fits", "random_groups.fits"}) {
    SCOPED_TRACE(name);
    const HeaderRun r = ReadCorpus(dir, name);
    EXPECT_TRUE(r.Stopped);
    EXPECT_FALSE(r.Said("Pas du fits !"));
  }
}

} // namespace
} // namespace korv
