// End to end through the program: the conventional cards other astronomy
// software reads (checked with astropy where it has a reader for them), the
// mosaic pattern after mirror and flip, and the integrity checksums of every
// plain output (astropy and fitsverify).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/raw_file_writer.h"
#include "tests/test_support.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

struct Converted {
  int Status = -1;
  std::string File;  // the output's bytes
};

Converted Convert(const fs::path& dir, const std::string& input, const std::string& options) {
  const std::string out = (dir / "out.fit").string();
  fs::remove(out);
  const auto r = test::RunCommand("cd '" + dir.string() + "' && '" + test::ProgramPath() + "' " +
                                  input + " =+_o " + options + " >/dev/null 2>&1");
  Converted c;
  c.Status = r.Status;
  const fs::path stem = fs::path(input).stem();
  const fs::path written = dir / (stem.string() + "_o.fit");
  if (fs::exists(written)) {
    c.File = test::ReadFile(written);
    fs::rename(written, out);
  }
  return c;
}

// The value text of the first card with this keyword, quotes removed; empty when absent.
std::string Value(const std::string& file, std::string key) {
  key.resize(8, ' ');
  for (std::size_t at = 0; at + 80 <= file.size(); at += 80) {
    const std::string card = file.substr(at, 80);
    if (card.rfind("END     ", 0) == 0) break;
    if (card.compare(0, 8, key) != 0) continue;
    std::string v = card.substr(10);
    if (!v.empty() && v[0] == '\'') return v.substr(1, v.find('\'', 1) - 1);
    while (!v.empty() && v.front() == ' ') v.erase(0, 1);
    return v.substr(0, v.find(' '));
  }
  return {};
}

std::size_t DataStart(const std::string& file) {
  for (std::size_t at = 0; at + 80 <= file.size(); at += 80)
    if (file.compare(at, 8, "END     ") == 0) return (at / 2880 + 1) * 2880;
  return std::string::npos;
}

std::string Pgm(unsigned w, unsigned h, unsigned maxval, unsigned seed, std::size_t cut = 0) {
  std::string f = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n" +
                  std::to_string(maxval) + "\n";
  const unsigned bytes = maxval > 255 ? 2 : 1;
  for (unsigned i = 0; i < w * h * bytes; ++i)
    f.push_back(static_cast<char>((i * 37 + seed) & 0xFF));
  if (cut) f.resize(f.size() - cut);
  return f;
}

bool HavePython() {
  return test::RunCommand("/usr/bin/python3 -c 'import astropy, numpy' 2>/dev/null").Status == 0;
}

// Colour of FITS sample (row, column) of a mosaic whose every cell read 10000:
// the colour weights (0.299, 0.587, 0.114) tell the cells apart.
char ColourAt(const std::string& file, unsigned width, unsigned row, unsigned column) {
  const std::size_t at = DataStart(file) + 2 * (std::size_t{row} * width + column);
  const auto v = static_cast<unsigned>((static_cast<uint8_t>(file[at]) ^ 0x80) << 8 |
                                       static_cast<uint8_t>(file[at + 1]));
  if (v > 2900 && v < 3100) return 'R';
  if (v > 5800 && v < 5950) return 'G';
  if (v > 1100 && v < 1200) return 'B';
  return '?';
}

TEST(AstronomyCards, MosaicPatternFollowsThePixels) {
  test::ScratchDir dir;
  const unsigned w = 8, h = 6;
  const std::vector<uint16_t> raw(w * h, 10000);
  const std::vector<std::vector<uint8_t>> patterns = {
      {0, 1, 1, 2}, {2, 1, 1, 0}, {1, 0, 2, 1}, {1, 2, 0, 1}};
  for (const auto& cfa : patterns) {
    test::DngOptions o;
    o.Cfa = cfa;
    test::WriteFile(dir.Path() / "m.dng", test::WriteDng(raw, w, h, o));
    for (const std::string options : {"", "MX", "MY", "MX MY"}) {
      SCOPED_TRACE(std::to_string(cfa[0]) + std::to_string(cfa[1]) + std::to_string(cfa[2]) +
                   std::to_string(cfa[3]) + " " + options);
      const Converted c = Convert(dir.Path(), "m.dng", options);
      ASSERT_EQ(c.Status, 0);
      const std::string pattern = Value(c.File, "BAYERPAT");
      ASSERT_EQ(pattern.size(), 4u);
      // The letters name the cells of the first two FITS rows, as a debayer reads them.
      for (unsigned r = 0; r < 2; ++r)
        for (unsigned col = 0; col < 2; ++col)
          EXPECT_EQ(ColourAt(c.File, w, r, col), pattern[2 * r + col]);
      EXPECT_EQ(Value(c.File, "ROWORDER"), "BOTTOM-UP");
      EXPECT_EQ(Value(c.File, "XBAYROFF"), "0");
      EXPECT_EQ(Value(c.File, "YBAYROFF"), "0");
    }
  }
  // Binned: no mosaic left, no pattern.
  test::DngOptions o;
  test::WriteFile(dir.Path() / "m.dng", test::WriteDng(raw, w, h, o));
  const Converted binned = Convert(dir.Path(), "m.dng", "Z2");
  ASSERT_EQ(binned.Status, 0);
  EXPECT_EQ(Value(binned.File, "BAYERPAT"), "");
  EXPECT_EQ(Value(binned.File, "XBINNING"), "2");
  // Option X leaves the conventional cards out, the program's own stay.
  const Converted plain = Convert(dir.Path(), "m.dng", "X");
  ASSERT_EQ(plain.Status, 0);
  EXPECT_EQ(Value(plain.File, "BAYERPAT"), "");
  EXPECT_EQ(Value(plain.File, "INSTRUME"), "");
  EXPECT_NE(Value(plain.File, "DETECCFA"), "");
  EXPECT_NE(Value(plain.File, "CHECKSUM"), "");
  const Converted full = Convert(dir.Path(), "m.dng", "");
  EXPECT_EQ(Value(full.File, "INSTRUME"), "Testmaker Test DNG");
}

TEST(AstronomyCards, TimeSiteAndOpticsReadByAstropy) {
  if (!HavePython()) GTEST_SKIP() << "astropy not installed";
  test::ScratchDir dir;
  test::WriteFile(dir.Path() / "s.pgm", Pgm(9, 7, 65535, 3));
  // A middle of exposure that is no whole step of MIDJDATE's seven decimals.
  const Converted c = Convert(dir.Path(), "s.pgm",
                              "HM20240315,22.302717,37.3 K0,0,530,0.0043,0.0043,1.25");
  ASSERT_EQ(c.Status, 0);
  EXPECT_EQ(Value(c.File, "FOCALLEN"), "530.0000");
  EXPECT_EQ(Value(c.File, "XPIXSZ"), "4.3000");
  EXPECT_EQ(Value(c.File, "EGAIN"), "1.2500");
  EXPECT_EQ(Value(c.File, "TIMESYS"), "UTC");
  const std::string script =
      "import sys\n"
      "from astropy.io import fits\n"
      "from astropy.time import Time\n"
      "h = fits.getheader(sys.argv[1])\n"
      "mid = Time(h['MIDJDATE'], format='jd', scale='utc')\n"
      "avg = Time(h['DATE-AVG'], format='isot', scale='utc')\n"
      "mjd = Time(h['MJD-AVG'], format='mjd', scale='utc')\n"
      "start = Time(h['MJD-OBS'], format='mjd', scale='utc')\n"
      "assert abs((avg - mid).sec) < 1e-3, (avg - mid).sec\n"
      "assert abs((mjd - mid).sec) < 1e-3, (mjd - mid).sec\n"
      "assert abs((mid - start).sec - h['EXPTIME'] / 2) < 1e-3\n"
      "print('ok')\n";
  test::WriteFile(dir.Path() / "t.py", script);
  const auto r = test::RunCommand("/usr/bin/python3 '" + (dir.Path() / "t.py").string() + "' '" +
                                  (dir.Path() / "out.fit").string() + "' 2>&1");
  EXPECT_EQ(r.Status, 0) << r.Output;

  // A site given in the header of a FITS input (west longitude, altitude).
  std::string hdr;
  for (const std::string card :
       {"SIMPLE  =                    T", "BITPIX  =                   16",
        "NAXIS   =                    2", "NAXIS1  =                    4",
        "NAXIS2  =                    2", "OBS_LONG=             -71.2500",
        "OBS_LATI=             -30.1667",
        "OBS_ALTI=                 2200", "END"}) {
    std::string k = card;
    k.resize(80, ' ');
    hdr += k;
  }
  hdr.resize(2880, ' ');
  hdr += std::string(2880, '\0');
  test::WriteFile(dir.Path() / "g.fits", hdr);
  const Converted g = Convert(dir.Path(), "g.fits", "");
  ASSERT_EQ(g.Status, 0);
  const std::string geo =
      "import sys\n"
      "import astropy.units as u\n"
      "from astropy.io import fits\n"
      "from astropy.coordinates import EarthLocation\n"
      "h = fits.getheader(sys.argv[1])\n"
      "loc = EarthLocation.from_geodetic(h['OBSGEO-L'] * u.deg, h['OBSGEO-B'] * u.deg,\n"
      "                                  h['OBSGEO-H'] * u.m)\n"
      "g = loc.to_geodetic()\n"
      "assert abs(g.lon.deg - h['OBS_LONG'] + 360) < 1e-4, g.lon.deg\n"
      "assert abs(g.lat.deg - h['OBS_LATI']) < 1e-4\n"
      "print(h['SITELAT'], h['SITELONG'])\n";
  test::WriteFile(dir.Path() / "geo.py", geo);
  const auto rg = test::RunCommand("/usr/bin/python3 '" + (dir.Path() / "geo.py").string() +
                                   "' '" + (dir.Path() / "out.fit").string() + "' 2>&1");
  EXPECT_EQ(rg.Status, 0) << rg.Output;
  EXPECT_EQ(Value(g.File, "SITELAT"), "-30 10 00");
  EXPECT_EQ(Value(g.File, "SITELONG"), "-71 15 00");
  EXPECT_EQ(Value(g.File, "OBSGEO-H"), "2200");
}

TEST(AstronomyCards, UserCardsWinOverConventionalOnes) {
  test::ScratchDir dir;
  test::WriteFile(dir.Path() / "u.pgm", Pgm(4, 4, 65535, 1));
  const Converted c =
      Convert(dir.Path(), "u.pgm", "K0,0,530,0.0043,0.0043,1.25 Y+EGAIN=2.5 Y-FOCAL");
  ASSERT_EQ(c.Status, 0);
  EXPECT_EQ(Value(c.File, "EGAIN"), "2.5");      // the user's card, once
  EXPECT_EQ(Value(c.File, "FOCALLEN"), "");      // its counterpart was deleted
  EXPECT_EQ(Value(c.File, "XPIXSZ"), "4.3000");  // the rest stay
  // A checksum typed by the user would be false: the computed one is written.
  const Converted k = Convert(dir.Path(), "u.pgm", "Y+CHECKSUM='abc' Y:DATASUM='1'");
  ASSERT_EQ(k.Status, 0);
  EXPECT_NE(Value(k.File, "CHECKSUM"), "abc");
  EXPECT_NE(Value(k.File, "DATASUM"), "1");
}

TEST(AstronomyCards, ChecksumsVerifyAndRunsRepeat) {
  test::ScratchDir dir;
  struct Case {
    std::string Name, File, Options;
    int Status;
  };
  const std::vector<Case> cases = {
      {"a.pgm", Pgm(7, 5, 65535, 2), "", 0},
      {"b.pgm", Pgm(13, 11, 255, 5), "", 0},            // 8-bit samples, rows of odd length
      {"c.pgm", Pgm(13, 11, 65535, 9), "TL", 0},        // 32-bit integers
      {"d.pgm", Pgm(13, 11, 65535, 4), "TS MY", 0},     // floats, rows placed in reverse
      {"e.pgm", Pgm(31, 30, 65535, 6), "Z3,2 MX", 0},   // binned
      {"f.pgm", Pgm(40, 90, 65535, 7, 300), "", 3},     // truncated: a card added at the end
  };
  const bool python = HavePython();
  const bool fitsverify = test::RunCommand("command -v fitsverify >/dev/null").Status == 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name + " " + k.Options);
    test::WriteFile(dir.Path() / k.Name, k.File);
    const Converted first = Convert(dir.Path(), k.Name, k.Options);
    ASSERT_EQ(first.Status, k.Status);
    ASSERT_EQ(Value(first.File, "CHECKSUM").size(), 16u);
    const std::string out = (dir.Path() / "out.fit").string();
    if (fitsverify) {
      const auto r = test::RunCommand("fitsverify -e '" + out + "' 2>&1");
      EXPECT_NE(r.Output.find("0 warning(s) and 0 error(s)"), std::string::npos) << r.Output;
    }
    if (python) {
      const auto r = test::RunCommand(
          "/usr/bin/python3 -W error::UserWarning -c \"import sys, warnings\n"
          "from astropy.io import fits\n"
          "with warnings.catch_warnings():\n"
          "    warnings.simplefilter('error')\n"
          "    with fits.open(sys.argv[1], checksum=True) as h:\n"
          "        assert h[0].verify_checksum() == 1 and h[0].verify_datasum() == 1\n"
          "        h[0].data\n"
          "print('ok')\" '" + out + "' 2>&1");
      EXPECT_EQ(r.Status, 0) << r.Output;
    }
    const Converted second = Convert(dir.Path(), k.Name, k.Options);
    EXPECT_EQ(first.File, second.File);
  }
  // One byte changed in the data is seen.
  if (python) {
    test::WriteFile(dir.Path() / "a.pgm", cases[0].File);
    Converted c = Convert(dir.Path(), "a.pgm", "");
    c.File[DataStart(c.File) + 3] ^= 1;
    test::WriteFile(dir.Path() / "bad.fit", c.File);
    const auto r = test::RunCommand(
        "/usr/bin/python3 -c \"import sys\nfrom astropy.io import fits\n"
        "h = fits.open(sys.argv[1])\nprint(h[0].verify_datasum(), h[0].verify_checksum())\" '" +
        (dir.Path() / "bad.fit").string() + "' 2>/dev/null");
    EXPECT_EQ(r.Output, "0 0\n");  // both fail
  }
}

} // namespace
} // namespace korv
