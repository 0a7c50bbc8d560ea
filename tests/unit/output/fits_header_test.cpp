// FITS header composition: card layout and padding, the structural cards of
// each encoding, date and time texts with their derivations, sky and site
// texts, user header edits, value normalisation, and the TT - UT table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/julian.h"
#include "driver/run.h"
#include "output/fits_header.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using test::ScratchDir;

// A conversion with a 16-bit 100 x 50 plain output, ready for a header.
struct HeaderRun {
  ScratchDir dir;
  std::ostringstream out;
  std::unique_ptr<Conversion> cv = test::MakeConversion({"korvalix"}, out);
  ImageState& st = cv->State;

  HeaderRun() {
    st.OutputBitpix = 16;
    st.OutWidth = 100;
    st.OutHeight = 50;
    st.InputFilePath = "m51.pgm";
  }

  // Writes the header to a file and returns its cards, one per 80 bytes.
  std::vector<std::string> Write(RowEncoding encoding = RowEncoding::Plain) {
    EXPECT_TRUE(cv->Output.Create("h.fit", true));
    WriteHeader(*cv, encoding);
    EXPECT_TRUE(cv->Output.Close());
    bytes = test::ReadFile("h.fit");
    std::vector<std::string> cards;
    for (std::size_t i = 0; i + 80 <= bytes.size(); i += 80) cards.push_back(bytes.substr(i, 80));
    return cards;
  }

  std::string bytes;
};

std::string Padded(std::string text) {
  text.resize(80, ' ');
  return text;
}

// The first card with this keyword, or an empty text.
std::string Card(const std::vector<std::string>& cards, std::string key) {
  key.resize(8, ' ');
  for (const std::string& c : cards)
    if (c.compare(0, 8, key) == 0) return c;
  return {};
}

int CountCards(const std::vector<std::string>& cards, std::string key) {
  key.resize(8, ' ');
  int n = 0;
  for (const std::string& c : cards) n += c.compare(0, 8, key) == 0;
  return n;
}

bool HasLine(const std::string& console, const std::string& line) {
  return ("\n" + console).find("\n" + line + "\n") != std::string::npos;
}

double Jd(int y, int m, int d, int hh, int mm, double ss) {
  return JulianDate(y, m, d + (hh + mm / 60.0 + ss / 3600.0) / 24.0);
}

TEST(FitsHeader, LayoutStructuralCardsAndProvenance) {
  HeaderRun r;
  std::filesystem::create_directory("sub");
  r.st.InputFilePath = "sub|..|./M51.PGM";
  r.st.Creator = "  MaxIm DL  ";
  const auto cards = r.Write();

  ASSERT_EQ(r.bytes.size() % 2880, 0u);
  EXPECT_EQ(r.st.HeaderBytes, r.bytes.size());
  EXPECT_EQ(cards[0], Padded("SIMPLE  =                    T"));
  EXPECT_EQ(cards[1], Padded("BITPIX  =                   16"));
  EXPECT_EQ(cards[2], Padded("NAXIS   =                    2"));
  EXPECT_EQ(cards[3], Padded("NAXIS1  =                  100"));
  EXPECT_EQ(cards[4], Padded("NAXIS2  =                   50"));
  EXPECT_EQ(cards[5], Padded("BZERO   =                32768"));
  EXPECT_EQ(cards[6], Padded("BSCALE  =                    1"));

  // Letter case kept, "." and ".." resolved, separators written '|'.
  std::string cwd = std::filesystem::current_path().string();
  for (char& c : cwd)
    if (c == '/') c = '|';
  const std::string from = "|" + cwd.substr(1) + "|M51.PGM";
  if (from.size() <= 68) EXPECT_EQ(Card(cards, "FROMFILE"), Padded("FROMFILE= '" + from + "'"));
  else EXPECT_EQ(Card(cards, "FROMFILE").substr(0, 14), "FROMFILE= '...");
  EXPECT_EQ(Card(cards, "CREATOR"), Padded("CREATOR = 'MaxIm DL, KORVALIX'"));
  EXPECT_EQ(r.st.Creator, std::string_view("MaxIm DL, KORVALIX"));
  EXPECT_EQ(Card(cards, "COMMENT").substr(0, 40), "COMMENT   About some used software, see ");

  // The comment, then the two checksum cards of a plain file (filled in when
  // the file is closed), then END; the rest of the block is blank cards.
  std::size_t end = 0;
  while (end < cards.size() && cards[end] != Padded("END")) ++end;
  ASSERT_LT(end, cards.size());
  EXPECT_EQ(cards[end - 3].substr(0, 7), "COMMENT");
  EXPECT_EQ(cards[end - 2].substr(0, 11), "CHECKSUM= '");
  EXPECT_EQ(cards[end - 1].substr(0, 11), "DATASUM = '");
  for (std::size_t i = end + 1; i < cards.size(); ++i) EXPECT_EQ(cards[i], std::string(80, ' '));

  EXPECT_TRUE(HasLine(r.out.str(), "Nbp=16"));
  EXPECT_TRUE(HasLine(r.out.str(), "Nph=100"));
  EXPECT_TRUE(HasLine(r.out.str(), "Npv=50"));
  // Nothing known about the observation: no time stamp.
  EXPECT_EQ(Card(cards, "DATE-OBS"), "");
  EXPECT_EQ(Card(cards, "EXPTIME"), "");
  EXPECT_EQ(r.out.str().find("Dat="), std::string::npos);
}

TEST(FitsHeader, LongInputNamesKeepTheirEnd) {
  {
    HeaderRun r;
    r.st.InputFilePath = "|data|d123456789|d123456789|d123456789|d123456789|d123456789|"
                         "d123456789|d123456789|night_0001.fits";
    EXPECT_EQ(Card(r.Write(), "FROMFILE"),
              Padded("FROMFILE= '...|d123456789|d123456789|d123456789|d123456789|"
                     "night_0001.fits'"));
  }
  {
    HeaderRun r;  // no separator within the last 65 characters: no card
    r.st.InputFilePath = "|" + std::string(70, 'n') + ".fit";
    EXPECT_EQ(Card(r.Write(), "FROMFILE"), "");
  }
}

TEST(FitsHeader, ZeroPointAndCompressionCardsFollowTheEncoding) {
  struct Case {
    uint8_t code;
    RowEncoding encoding;
    const char* bitpix;
    const char* bzero;
    const char* compression;
    const char* tag;
  };
  const Case cases[] = {
      {16, RowEncoding::Plain, "16", "32768", "", ""},
      {16, RowEncoding::PrevPixel, "16", "0", "PREVPIXEL", "Cmp=PrP"},
      {16, RowEncoding::ProfVar, "16", "32768", "PROF-VAR", "Cmp=PVa"},
      {8, RowEncoding::ProfVar, "8", "0", "PROF-VAR", "Cmp=PVa"},
      {8, RowEncoding::Plain, "8", "0", "", ""},
      {32, RowEncoding::Plain, "32", "0", "", ""},
      {224, RowEncoding::Plain, "-32", "0", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bitpix) + " " + c.compression);
    HeaderRun r;
    r.st.OutputBitpix = c.code;
    const auto cards = r.Write(c.encoding);
    EXPECT_EQ(Card(cards, "BITPIX").substr(9, 21),
              std::string(21 - strlen(c.bitpix), ' ') + c.bitpix);
    EXPECT_EQ(Card(cards, "BZERO").substr(9, 21),
              std::string(21 - strlen(c.bzero), ' ') + c.bzero);
    if (*c.compression) {
      EXPECT_EQ(Card(cards, "COMPRES1"), Padded(std::string("COMPRES1= '") + c.compression + "'"));
      EXPECT_TRUE(HasLine(r.out.str(), c.tag));
    } else {
      EXPECT_EQ(Card(cards, "COMPRES1"), "");
    }
    const bool laxis = c.encoding == RowEncoding::PrevPixel;
    EXPECT_EQ(Card(cards, "LAXIS1") == Padded("LAXIS1  =                  100"), laxis);
    EXPECT_EQ(Card(cards, "LAXIS2") == Padded("LAXIS2  =                   50"), laxis);
  }
}

TEST(FitsHeader, DateCardsInTheThreeFormats) {
  const double start = Jd(2009, 1, 2, 3, 4, 5);
  {
    HeaderRun r;
    r.st.DateObs = start;
    r.st.DateRef = 1;
    r.st.Exptime = 60;
    r.st.DateOutRef = 1;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS"),
              Padded("DATE-OBS= '2009-01-02T03:04:05.00' / date and time of start"));
    EXPECT_EQ(Card(cards, "EXPTIME"),
              Padded("EXPTIME =              60.0000 / duration in seconds"));
    EXPECT_EQ(Card(cards, "MIDJDATE").substr(0, 30), "MIDJDATE=      2454833.6281829");
    EXPECT_EQ(Card(cards, "TIME-OBS"), "");
    EXPECT_TRUE(HasLine(r.out.str(), "Dat=2009-01-02T03:04:05.00"));
    EXPECT_TRUE(HasLine(r.out.str(), "Dex=60.0000s"));
    // The middle of the exposure is kept.
    EXPECT_NEAR(r.st.DateObs, start + 30.0 / 86400, 1e-9);
  }
  {
    HeaderRun r;
    r.st.DateObs = start;
    r.st.DateOutRef = 2;
    r.st.DateFormat = 'P';
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS"),
              Padded("DATE-OBS= '2009/01/02'         / middle at yyyy/mm/dd"));
    EXPECT_EQ(Card(cards, "TIME-OBS"),
              Padded("TIME-OBS= '03:04:05.00'        / middle at hh:mm:ss.cc"));
    EXPECT_EQ(Card(cards, "MIDJDATE"), "");
    EXPECT_TRUE(HasLine(r.out.str(), "Dat=03:04:05.00"));
  }
  {
    HeaderRun r;
    r.st.DateObs = start;
    r.st.Exptime = 20;
    r.st.DateRef = 2;
    r.st.DateOutRef = 3;
    r.st.DateFormat = 'Q';
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS"), Padded("DATE-OBS= '02/01/09'           / end at dd/mm/yy"));
    EXPECT_EQ(Card(cards, "TIME-OBS"),
              Padded("TIME-OBS= '03:04:15.00'        / end at hh:mm:ss.cc"));
  }
}

TEST(FitsHeader, TimeStampDerivations) {
  {
    SCOPED_TRACE("start and end one hour apart");
    HeaderRun r;
    r.st.DateStart = Jd(2020, 5, 1, 22, 0, 0);
    r.st.DateEnd = Jd(2020, 5, 1, 23, 0, 0);
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "EXPTIME").substr(0, 30), "EXPTIME =            3600.0000");
    EXPECT_EQ(Card(cards, "DATE-OBS").substr(0, 34), "DATE-OBS= '2020-05-01T22:00:00.00'");
    const double mid = (r.st.DateStart + r.st.DateEnd) / 2;
    const std::string midjd = Card(cards, "MIDJDATE").substr(9, 21);
    EXPECT_NEAR(std::stod(midjd), mid, 1e-7);
    EXPECT_EQ(r.st.DateRef, 2);
  }
  {
    SCOPED_TRACE("only the end is known");
    HeaderRun r;
    r.st.DateEnd = Jd(2020, 5, 1, 23, 0, 0);
    r.st.Exptime = 120;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS").substr(0, 34), "DATE-OBS= '2020-05-01T22:58:00.00'");
  }
  {
    SCOPED_TRACE("shift, atomic time");
    HeaderRun r;
    r.st.DateObs = Jd(2020, 1, 1, 13, 0, 37);
    r.st.DateRef = 2;
    r.st.DateOutRef = 2;
    r.st.TimeShift = -3600;
    r.st.DateIsAtomic = 1;
    const auto cards = r.Write();
    // TAI - UTC was 37 s in 2020.
    EXPECT_EQ(Card(cards, "DATE-OBS").substr(0, 34), "DATE-OBS= '2020-01-01T12:00:00.00'");
  }
  {
    SCOPED_TRACE("rounding up to a whole minute carries into the next day");
    HeaderRun r;
    r.st.DateObs = Jd(1999, 12, 31, 23, 59, 59.997);
    r.st.DateRef = 2;
    r.st.DateOutRef = 2;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS").substr(0, 34), "DATE-OBS= '2000-01-01T00:00:00.00'");
  }
  {
    SCOPED_TRACE("an instant outside years 1 to 9999 writes no date");
    HeaderRun r;
    r.st.DateObs = 1e12;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DATE-OBS"), "");
    EXPECT_EQ(Card(cards, "EXPTIME"), "");
  }
}

TEST(FitsHeader, SkyCoordinateTexts) {
  const double ra = 5.123456 * Pi / 12;
  const double dec = (45 + 7 / 60.0 + 24.4 / 3600) * Pi / 180;
  {
    HeaderRun r;
    r.st.RightAscension = ra;
    r.st.Declination = 0;
    r.st.DeclinationSet = 1;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "RA"), Padded("RA      =              76.8518 / o, 05h07m24.44s"));
    EXPECT_EQ(Card(cards, "DEC"), Padded("DEC     =               0.0000 / o, 00o00'00.0\""));
    EXPECT_TRUE(HasLine(r.out.str(), "Asc=05h07m24.44s"));
    EXPECT_TRUE(HasLine(r.out.str(), "Dec=00o00'00.0\""));
  }
  {
    HeaderRun r;
    r.st.RightAscension = ra;
    r.st.Declination = -dec;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "DEC").substr(30), Padded(" / o, -45o07'24.4\"").substr(0, 50));
  }
  for (int style : {1, 2}) {
    HeaderRun r;
    r.st.CoordStyle = static_cast<uint8_t>(style);
    r.st.RightAscension = ra;
    r.st.Declination = dec;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, style == 1 ? "RA" : "OBJCTRA").substr(8),
              Padded("= '05 07 24.44'").substr(0, 72));
    EXPECT_EQ(Card(cards, style == 1 ? "DEC" : "OBJCTDEC").substr(8),
              Padded("= '+45 07 24.4'").substr(0, 72));
  }
  {
    HeaderRun r;  // coordinates switched off
    r.st.RightAscension = ra;
    r.st.WriteCoordinates = 0;
    EXPECT_EQ(Card(r.Write(), "RA"), "");
  }
}

TEST(FitsHeader, SiteOpticsAndDetectorCards) {
  HeaderRun r;
  r.st.ObsLongitude = -(12 + 34 / 60.0 + 56.78 / 3600) * Pi / 12;  // west, as 11h25m03.22s
  r.st.ObsLatitude = 46.5 * Pi / 180;
  r.st.ObsCode = 1034;
  r.st.ObsCodeSet = 1;
  r.st.FocalLength = 1000;
  r.st.FocalLengthSet = 1;
  r.st.PixelSizeX = 0.009;
  r.st.PixelSizeXSet = 2;
  r.st.BinX = 2;
  r.st.BinY = 2;
  r.st.DetectorCfa = "RGGB";
  r.st.DetectorTemp = -10.4;
  r.st.DetectorTempSet = 2;
  const auto cards = r.Write();
  EXPECT_EQ(Card(cards, "OBS_LONG"), Padded("OBS_LONG=             171.2634 / o, 11h25m03.22s"));
  EXPECT_EQ(Card(cards, "OBS_LATI"), Padded("OBS_LATI=              46.5000 / o, +46o30'00.0\""));
  EXPECT_EQ(Card(cards, "OBS_CODE"), Padded("OBS_CODE=                 1034 / A34"));
  EXPECT_EQ(Card(cards, "FOCAL"), Padded("FOCAL   =            1000.0000 / mm"));
  // The pixel size is binned; Y takes X's size for the scale but has no card.
  EXPECT_EQ(Card(cards, "CDELTM1"), Padded("CDELTM1 =              0.01800 / mm/pixel"));
  EXPECT_EQ(Card(cards, "CDELTM2"), "");
  EXPECT_EQ(Card(cards, "SECPIX"), Padded("SECPIX  =               3.7128 / \"/pixel"));
  EXPECT_EQ(Card(cards, "DETECCFA"), "");
  EXPECT_EQ(Card(cards, "TEMP_DET"), Padded("TEMP_DET=               -10.40"));
  for (const char* line : {"Lon=-188.7366o", "Lat=46.5000o", "Cod=1034", "Foc=1000.0000mm",
                           "Dph=0.01800mm", "Tde=-10"})
    EXPECT_TRUE(HasLine(r.out.str(), line)) << line;

  for (const auto& [code, text] : std::vector<std::pair<double, std::string>>{
           {500, "XXX"}, {-500, "YYY"}, {7, "007"}, {1199, "B99"}}) {
    HeaderRun c;
    c.st.ObsCode = code;
    c.st.ObsCodeSet = 1;
    EXPECT_EQ(Card(c.Write(), "OBS_CODE").substr(30, 6), " / " + text);
  }
  {
    HeaderRun c;  // CFA pattern only without binning, here 1 x 1
    c.st.DetectorCfa = " RGGB ";
    EXPECT_EQ(Card(c.Write(), "DETECCFA"), Padded("DETECCFA= 'RGGB'"));
  }
  {
    HeaderRun c;  // 2 x 1 binning mixes the colours
    c.st.BinX = 2;
    c.st.DetectorCfa = "RGGB";
    EXPECT_EQ(Card(c.Write(), "DETECCFA"), "");
  }
}

TEST(FitsHeader, ObjectAndFilterValues) {
  struct Case {
    const char* object;
    const char* filter;
    const char* objectCard;
    const char* filterCard;
  };
  const Case cases[] = {
      {"#M 51#", "  clear ", "OBJECT  = 'M 51'", "FILTER  = 'O'"},
      {"NGC^1234", "Halpha", "OBJECT  = 'NGC,1234'", "FILTER  = 'HA'"},
      {"O'Brien field", "hALPHA", "OBJECT  = 'O''Brien field'", "FILTER  = 'HA'"},
      {"M 31", "Sloan r", "OBJECT  = 'M 31'", "FILTER  = 'Sloan r'"},
      {"Com\x82te", "vert", "OBJECT  = 'Com_te'", "FILTER  = 'V'"},
      {"   ", "sans filtre", "", "FILTER  = 'O'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.object);
    HeaderRun r;
    r.st.ObjectName = c.object;
    r.st.Filter = c.filter;
    const auto cards = r.Write();
    EXPECT_EQ(Card(cards, "OBJECT"), *c.objectCard ? Padded(c.objectCard) : "");
    EXPECT_EQ(Card(cards, "FILTER"), Padded(c.filterCard));
  }
  {
    SCOPED_TRACE("doubled quotes never push the closing quote out of the card");
    HeaderRun r;
    r.st.Observatory = std::string(67, 'a') + "'";
    const std::string card = Card(r.Write(), "OBSERVAT");
    EXPECT_EQ(card, Padded("OBSERVAT= '" + std::string(67, 'a') + "'"));
  }
  {
    HeaderRun r;
    r.st.ObjectName = "#M 51#";
    r.st.Filter = "red";
    r.Write();
    EXPECT_TRUE(HasLine(r.out.str(), "Obj=M 51"));
    EXPECT_TRUE(HasLine(r.out.str(), "Fil=R"));
    EXPECT_EQ(r.st.Filter, std::string_view("R"));
  }
}

TEST(FitsHeader, UserCardEdits) {
  HeaderRun r;
  auto add = [&](char marker, const char* text, uint8_t verbatim = 0) {
    for (ExtraCard& e : r.st.ExtraCards) {
      if (!e.Card.empty()) continue;
      e.Marker = marker;
      e.Card = text;
      e.Verbatim = verbatim;
      return;
    }
  };
  r.st.Gain = 1.5;
  r.st.GainSet = 1;
  r.st.Telescope = "C14";
  r.st.Airmass = 1.2;
  r.st.AirmassSet = 2;
  add('+', "HISTORY first");
  add('-', "GAIN");
  add(':', "TELESCOP= 'Celestron 14'");
  add(':', "SITE    = 'Haute-Provence'");
  add('=', "FOCUS   = 12");   // replaces only: no such card, dropped
  add('+', "HISTORY second");
  add('-', "NAXIS1");        // the layout of the data is not the user's to change
  add('+', "END");
  add('+', "COMMENT caf\xc3\xa9", 1);
  add(':', "AIRMASS =                1.300");
  const auto cards = r.Write();

  EXPECT_EQ(Card(cards, "GAIN"), "");
  EXPECT_EQ(Card(cards, "NAXIS1"), Padded("NAXIS1  =                  100"));
  EXPECT_EQ(CountCards(cards, "END"), 1);
  EXPECT_EQ(Card(cards, "FOCUS"), "");
  EXPECT_EQ(Card(cards, "AIRMASS"), Padded("AIRMASS =                1.300"));
  EXPECT_EQ(CountCards(cards, "AIRMASS"), 1);

  // Replacements stand where the card stood; additions come after the
  // observation cards, in the order given, before the provenance cards.
  auto at = [&](const std::string& card) {
    for (std::size_t i = 0; i < cards.size(); ++i)
      if (cards[i] == Padded(card)) return static_cast<int>(i);
    return -1;
  };
  const int telescope = at("TELESCOP= 'Celestron 14'");
  const int first = at("HISTORY first");
  const int site = at("SITE    = 'Haute-Provence'");
  const int second = at("HISTORY second");
  const int user = at("COMMENT caf\xc3\xa9");
  const int creator = at("CREATOR = 'KORVALIX'");
  ASSERT_GE(telescope, 0);
  EXPECT_LT(telescope, first);
  EXPECT_LT(first, site);
  EXPECT_LT(site, second);
  EXPECT_LT(second, user);
  EXPECT_LT(user, creator);
  for (const ExtraCard& e : r.st.ExtraCards) EXPECT_TRUE(e.Card.empty());
}

TEST(FitsHeader, NumbersStayInsideTheirField) {
  HeaderRun r;
  r.st.DataMin = -1.5;
  r.st.DataMinSet = 1;
  r.st.DataMax = 3e25;  // too wide for fixed-point text before column 30
  r.st.DataMaxSet = 1;
  r.st.BlankValue = NAN;
  r.st.BlankSet = 1;
  const auto cards = r.Write();
  EXPECT_EQ(Card(cards, "DATAMIN"), Padded("DATAMIN =              -1.5000"));
  const std::string max = Card(cards, "DATAMAX");
  EXPECT_EQ(max[9], ' ');
  EXPECT_EQ(max.substr(10, 20), "  3.000000000000E+25");
  EXPECT_DOUBLE_EQ(std::stod(max.substr(10, 20)), 3e25);
  EXPECT_EQ(Card(cards, "BLANK"), "");
}

TEST(FitsHeader, ExtremeValuesFromDamagedInputs) {
  const double inf = INFINITY;
  for (double v : {double(NAN), inf, -inf, 1e300, -1e300, 1e-300, -0.0, 4e9}) {
    SCOPED_TRACE(v);
    HeaderRun r;
    ImageState& st = r.st;
    for (double* d : {&st.DateObs, &st.DateStart, &st.DateEnd, &st.Exptime, &st.TimeShift,
                      &st.RightAscension, &st.Declination, &st.FocalLength, &st.PixelSizeX,
                      &st.PixelSizeY, &st.Gain, &st.Airmass, &st.ObsLongitude, &st.ObsLatitude,
                      &st.ObsAltitude, &st.ObsCode, &st.ObsInstrument, &st.DetectorBits,
                      &st.DetectorIso, &st.DetectorTemp, &st.AirTemp, &st.DataMin, &st.DataMax,
                      &st.BlankValue, &st.Cd11, &st.Crpix1})
      *d = v;
    for (uint8_t* set : {&st.FocalLengthSet, &st.PixelSizeXSet, &st.PixelSizeYSet, &st.GainSet,
                         &st.AirmassSet, &st.ObsAltitudeSet, &st.ObsCodeSet, &st.ObsInstrumentSet,
                         &st.DetectorIsoSet, &st.DetectorTempSet, &st.AirTempSet, &st.DataMinSet,
                         &st.DataMaxSet, &st.BlankSet})
      *set = 1;
    st.DateIsAtomic = 1;
    st.Ctype1 = "RA---TAN";
    st.Ctype2 = "DEC--TAN";
    const auto cards = r.Write();
    EXPECT_EQ(r.bytes.size() % 2880, 0u);
    for (const std::string& c : cards) {
      EXPECT_EQ(c.find_first_not_of(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"),
                std::string::npos)
          << c;
      if (c[8] == '=') {
        EXPECT_EQ(c[9], ' ') << c;
      }
    }
  }
}

TEST(DeltaT, FollowsThePublishedRecord) {
  struct Case {
    const char* what;
    double jd;
    double seconds;
  };
  const Case cases[] = {
      {"first day after the 2016 leap second", JulianDate(2017, 1, 1.0), 69.184},
      {"last second before it", JulianDate(2016, 12, 31.99999), 68.184},
      {"June 2012, before that year's leap second", JulianDate(2012, 6, 15.0), 66.184},
      {"July 2015, after that year's leap second", JulianDate(2015, 7, 1.0), 68.184},
      {"first row of the steps", JulianDate(1972, 1, 1.0), 42.184},
      {"1966 drift expression", JulianDate(1967, 1, 1.0), 4.3131700 + 365 * 0.002592 + 32.184},
      {"1962 drift expression", JulianDate(1962, 7, 1.0),
       1.8458580 + (JulianDate(1962, 7, 1.0) - 2400000.5 - 37665) * 0.0011232 + 32.184},
      {"halfway between the 1750 and 1751 values", JulianDate(1750, 7, 2.5), 13.5},
      {"oldest row", JulianDate(1710, 1, 1.0), -12.0},
      {"before the table", JulianDate(1700, 1, 1.0), -0.22865009705654415},
      {"a century after the newest row", JulianDate(2118, 1, 1.0), 324.5804589881005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NEAR(DeltaT(c.jd), c.seconds, 1e-6);
  }
}

// Peer check: a header holding every kind of card, followed by a data section,
// must pass fitsverify and read back through astropy with the values meant.
TEST(FitsHeaderOracle, EveryCardPassesFitsverifyAndReadsBack) {
  const bool ci = std::getenv("CI") != nullptr;
  const bool tools =
      test::RunCommand("command -v fitsverify >/dev/null 2>&1").Status == 0 &&
      test::RunCommand("/usr/bin/python3 -c 'import astropy' 2>/dev/null").Status == 0;
  if (!tools) {
    if (ci) FAIL() << "fitsverify or astropy for /usr/bin/python3 missing";
    GTEST_SKIP() << "fitsverify or astropy for /usr/bin/python3 missing";
  }
  HeaderRun r;
  ImageState& st = r.st;
  st.OutWidth = 7;
  st.OutHeight = 3;
  st.DataMin = 0;
  st.DataMinSet = 1;
  st.DataMax = 4095;
  st.DataMaxSet = 1;
  st.DateObs = Jd(2009, 1, 2, 3, 4, 5);
  st.DateRef = 1;
  st.Exptime = 60;
  st.RightAscension = 5.123456 * Pi / 12;
  st.Declination = -(45 + 7 / 60.0 + 24.4 / 3600) * Pi / 180;
  st.FocalLength = 1000;
  st.FocalLengthSet = 1;
  st.PixelSizeX = 0.009;
  st.PixelSizeXSet = 1;
  st.PixelSizeY = 0.0074;
  st.PixelSizeYSet = 1;
  st.Ctype1 = "RA---TAN";
  st.Ctype2 = "DEC--TAN";
  st.Crpix1 = 3.5;
  st.Crpix2 = 2;
  st.Crval1 = 76.85;
  st.Crval2 = -45.12;
  st.Cd11 = -0.000514;
  st.Cd22 = 0.000514;
  st.Gain = 1.25;
  st.GainSet = 2;
  st.Airmass = 1.0375;
  st.AirmassSet = 2;
  st.ObsCode = 511;
  st.ObsCodeSet = 1;
  st.ObsInstrument = 3;
  st.ObsInstrumentSet = 1;
  st.ObsLongitude = 5.7124 * Pi / 180;
  st.ObsLatitude = 43.9317 * Pi / 180;
  st.ObsAltitude = 650;
  st.ObsAltitudeSet = 1;
  st.ObjectName = "#M 51#";
  st.Quality = "good";
  st.ImageIdent = "run 12";
  st.ImageType = "Light Frame";
  st.Filter = "Halpha";
  st.Origin = "St-Michel";
  st.Telescope = "T120";
  st.Detector = "KAF-1603ME";
  st.DetectorMaker = "Kodak";
  st.DetectorCfa = "RGGB";
  st.DetectorBits = 16;
  st.DetectorIso = 800;
  st.DetectorIsoSet = 2;
  st.Observer = "J. O'Neil";
  st.Observatory = "OHP";
  st.DetectorTemp = -15.25;
  st.DetectorTempSet = 2;
  st.AirTemp = 4.5;
  st.AirTempSet = 2;
  st.Epepinag = "none";
  st.Script = "batch 3";
  st.Creator = "Some Capture";
  st.ExtraCards[0] = {'+', "HISTORY made by a test", 0};
  st.ExtraCards[1] = {':', "SITE    = 'Plateau'", 0};
  (void)r.Write();
  {
    // A 16-bit data section of zeros, padded with zero bytes.
    std::string data(static_cast<std::size_t>(st.OutWidth) * st.OutHeight * 2, '\0');
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    std::string all = r.bytes + data;
    test::WriteFile("h.fit", all);
  }
  const test::CommandResult verify = test::RunCommand("fitsverify -q -e h.fit 2>&1");
  EXPECT_EQ(verify.Status, 0) << verify.Output;
  EXPECT_NE(verify.Output.find("verification OK"), std::string::npos) << verify.Output;

  test::WriteFile("check.py", R"PY(
import math, sys
from astropy.io import fits
from astropy.time import Time
h = fits.getheader("h.fit")
want = {
  "SIMPLE": True, "BITPIX": 16, "NAXIS": 2, "NAXIS1": 7, "NAXIS2": 3, "BZERO": 32768,
  "BSCALE": 1, "DATAMIN": 0.0, "DATAMAX": 4095.0, "DATE-OBS": "2009-01-02T03:04:05.00",
  "EXPTIME": 60.0, "MIDJDATE": 2454833.6281829, "RA": 76.8518, "DEC": -45.1234,
  "FOCAL": 1000.0, "CDELTM1": 0.009, "CDELTM2": 0.0074, "CTYPE1": "RA---TAN",
  "CTYPE2": "DEC--TAN", "CUNIT1": "DEG", "CUNIT2": "DEG", "CRPIX1": 3.5, "CRPIX2": 2.0,
  "CRVAL1": 76.85, "CRVAL2": -45.12, "CD1_1": -0.000514, "CD1_2": 0.0, "CD2_1": 0.0,
  "CD2_2": 0.000514, "SECPIX": 1.6994, "GAIN": 1.25, "AIRMASS": 1.0375, "OBS_CODE": 511,
  "OBS_INST": 3, "OBS_LONG": 5.7124, "OBS_LATI": 43.9317, "OBS_ALTI": 650,
  "OBJECT": "M 51", "QUALITY": "good", "IMAGIDEN": "run 12", "IMAGETYP": "Light Frame",
  "FILTER": "HA", "ORIGIN": "St-Michel", "TELESCOP": "T120", "DETECTOR": "KAF-1603ME",
  "DETECMAR": "Kodak", "DETECCFA": "RGGB", "DETECBIT": 16, "DETECISO": 800,
  "OBSERVER": "J. O'Neil", "OBSERVAT": "OHP", "TEMP_DET": -15.25, "TEMP_AIR": 4.5,
  "EPEPINAG": "none", "SCRIPT": "batch 3", "SITE": "Plateau",
  "CREATOR": "Some Capture, KORVALIX",
}
bad = []
for k, v in want.items():
    got = h.get(k)
    same = (math.isclose(got, v, rel_tol=0, abs_tol=1e-9)
            if isinstance(v, float) and isinstance(got, (int, float)) else got == v)
    if not same or type(got) is not type(v):
        bad.append("%s: %r, want %r" % (k, got, v))
if h.comments["DATE-OBS"] != "date and time of start":
    bad.append("DATE-OBS comment %r" % h.comments["DATE-OBS"])
if list(h["HISTORY"]) != ["made by a test"]:
    bad.append("HISTORY %r" % list(h["HISTORY"]))
if not h["FROMFILE"].endswith("|m51.pgm"):
    bad.append("FROMFILE %r" % h["FROMFILE"])
t = Time(h["DATE-OBS"], format="isot", scale="utc")
if abs(t.jd + 30 / 86400 - h["MIDJDATE"]) > 2e-7:
    bad.append("MIDJDATE %r against DATE-OBS %s" % (h["MIDJDATE"], t.jd))
print("\n".join(bad))
sys.exit(1 if bad else 0)
)PY");
  const test::CommandResult check = test::RunCommand("/usr/bin/python3 check.py 2>&1");
  EXPECT_EQ(check.Status, 0) << check.Output;
}

} // namespace
} // namespace korv
