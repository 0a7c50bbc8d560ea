// FITS data reading through the whole program: sample conversion, byte order,
// mosaics, TAROT repairs, truncated data, and round trips of the program's own
// .fit, .fip and .fiv files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using Samples = std::vector<uint16_t>;

std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

std::string PadTo2880(std::string s, char fill) {
  s.resize((s.size() + 2879) / 2880 * 2880, fill);
  return s;
}

// One header-and-data unit; `data` is the stored data section.
std::string Hdu(bool primary, int bitpix, int width, int height, const std::string& data,
                const std::vector<std::string>& extra = {}) {
  std::string h = Card(primary ? "SIMPLE  =                    T" : "XTENSION= 'IMAGE   '");
  h += Card("BITPIX  = " + std::to_string(bitpix));
  h += Card("NAXIS   =                    2");
  h += Card("NAXIS1  = " + std::to_string(width));
  h += Card("NAXIS2  = " + std::to_string(height));
  if (!primary)
    h += Card("PCOUNT  =                    0") + Card("GCOUNT  =                    1");
  for (const std::string& e : extra) h += Card(e);
  h += Card("END");
  return PadTo2880(h, ' ') + PadTo2880(data, '\0');
}

std::string EmptyPrimary() {
  return PadTo2880(Card("SIMPLE  =                    T") + Card("BITPIX  =                    8") +
                       Card("NAXIS   =                    0") +
                       Card("EXTEND  =                    T") + Card("END"),
                   ' ');
}

template <typename T> std::string BigEndian(const std::vector<T>& values) {
  std::string out;
  for (T v : values) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof(T));
    for (int i = static_cast<int>(sizeof(T)) - 1; i >= 0; --i)
      out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  }
  return out;
}

struct Output {
  int Status = -1;
  std::string Transcript;
  std::string Path; // the file named after "Sor="
  std::string Header; // the cards before END
  int Bitpix = 0;
  int Width = 0, Height = 0;
  Samples Pixels; // in storage order: the bottom row of the picture first
};

long CardInteger(const std::string& header, const std::string& key) {
  for (std::size_t at = 0; at + 80 <= header.size(); at += 80)
    if (header.compare(at, 8, Card(key).substr(0, 8)) == 0)
      return std::stol(header.substr(at + 10, 20));
  return 0;
}

// Runs the program; when it wrote a plain FITS file, reads its samples back.
Output Convert(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"korvalix"};
  all.insert(all.end(), args.begin(), args.end());
  std::ostringstream console;
  Output o;
  o.Status = Run(all, console);
  o.Transcript = console.str();
  const std::size_t sor = o.Transcript.rfind("Sor=");
  if (sor == std::string::npos) return o;
  o.Path = o.Transcript.substr(sor + 4, o.Transcript.find('\n', sor) - sor - 4);
  for (char& c : o.Path)
    if (c == '|') c = '/';
  const std::string file = test::ReadFile(o.Path);
  std::size_t end = 0;
  while (end + 80 <= file.size() && file.compare(end, 3, "END") != 0) end += 80;
  const std::string header = file.substr(0, end);
  o.Header = header;
  if (header.find("COMPRES1") != std::string::npos) return o;
  o.Bitpix = static_cast<int>(CardInteger(header, "BITPIX"));
  o.Width = static_cast<int>(CardInteger(header, "NAXIS1"));
  o.Height = static_cast<int>(CardInteger(header, "NAXIS2"));
  const std::size_t data = (end / 2880 + 1) * 2880;
  const std::size_t count = static_cast<std::size_t>(o.Width) * static_cast<std::size_t>(o.Height);
  for (std::size_t i = 0; i < count; ++i) {
    if (o.Bitpix == 8) {
      o.Pixels.push_back(static_cast<uint8_t>(file.at(data + i)));
    } else {
      const unsigned hi = static_cast<uint8_t>(file.at(data + 2 * i));
      const unsigned lo = static_cast<uint8_t>(file.at(data + 2 * i + 1));
      o.Pixels.push_back(static_cast<uint16_t>(((hi ^ 0x80u) << 8) | lo));
    }
  }
  return o;
}

class FitsData : public ::testing::Test {
protected:
  test::ScratchDir dir_;
};

TEST_F(FitsData, IntegerSamplesWithScaling) {
  // BZERO 32768 turns the signed extremes into 0 and 65535.
  test::WriteFile("u16.fits",
                  Hdu(true, 16, 3, 1, BigEndian<int16_t>({-32768, 32767, 0}),
                      {"BZERO   =                32768", "BSCALE  =                    1"}));
  Output o = Convert({"u16.fits"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{0, 65535, 32768}));

  // BSCALE 0.5: exact halves round to even; out of range clamps.
  test::WriteFile("half.fits",
                  Hdu(true, 32, 6, 1, BigEndian<int32_t>({1, 3, 5, -4, 200000, 7}),
                      {"BSCALE  =                  0.5", "BZERO   =                    0"}));
  o = Convert({"half.fits"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{0, 2, 2, 0, 65535, 4}));

  // Eight-bit samples are unsigned.
  test::WriteFile("b8.fits", Hdu(true, 8, 3, 1, std::string("\x00\x80\xff", 3)));
  o = Convert({"b8.fits"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{0, 128, 255}));
}

TEST_F(FitsData, FloatSamplesClampAndNeverMisbehaveOnNaN) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  test::WriteFile(
      "f32.fits",
      Hdu(true, -32, 8, 1, BigEndian<float>({0.5f, 1.5f, 2.5f, -3.0f, 70000.0f, nan, inf, -inf})));
  Output o = Convert({"f32.fits"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{0, 2, 2, 0, 65535, 0, 65535, 0}));

  const double dinf = std::numeric_limits<double>::infinity();
  test::WriteFile(
      "f64.fits",
      Hdu(true, -64, 6, 1, BigEndian<double>({65534.5, 1e300, -1e300, std::nan(""), dinf, 12.49})));
  o = Convert({"f64.fits"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{65534, 65535, 0, 0, 65535, 12}));
}

TEST_F(FitsData, LittleEndianSamplesOfAt1Files) {
  std::string le;
  for (int16_t v : {int16_t{-32768}, int16_t{258}, int16_t{-1}}) {
    le.push_back(static_cast<char>(v & 0xFF));
    le.push_back(static_cast<char>((v >> 8) & 0xFF));
  }
  test::WriteFile("le.at1", Hdu(true, 16, 3, 1, le, {"BZERO   =                32768"}));
  const Output o = Convert({"le.at1"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{0, 33026, 32767}));
}

TEST_F(FitsData, MosaicOfUnequalHeightsPadsWithZeros) {
  std::vector<int16_t> tall(3 * 100), shortOne(2 * 50);
  for (std::size_t i = 0; i < tall.size(); ++i) tall[i] = static_cast<int16_t>(1000 + i);
  for (std::size_t i = 0; i < shortOne.size(); ++i) shortOne[i] = static_cast<int16_t>(5000 + i);
  test::WriteFile("m.fits", EmptyPrimary() + Hdu(false, 16, 3, 100, BigEndian(tall)) +
                                Hdu(false, 16, 2, 50, BigEndian(shortOne)));
  const Output o = Convert({"m.fits,2,3"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  ASSERT_EQ(o.Width, 5);
  ASSERT_EQ(o.Height, 100);
  for (int y = 0; y < 100; ++y) {
    SCOPED_TRACE(y);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(o.Pixels[y * 5 + x], 1000 + y * 3 + x);
    for (int x = 0; x < 2; ++x) EXPECT_EQ(o.Pixels[y * 5 + 3 + x], y < 50 ? 5000 + y * 2 + x : 0);
  }
}

TEST_F(FitsData, MosaicRowsWhoseTallestImagesSitInDifferentColumns) {
  // Row 1: 3x100 beside 2x50; row 2: 3x10 beside 2x200. Each mosaic row is as
  // tall as its tallest image, so the picture has 300 rows and loses none.
  auto image = [](int width, int height, int base) {
    std::vector<int16_t> v(static_cast<std::size_t>(width * height));
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(base + i);
    return Hdu(false, 16, width, height, BigEndian(v));
  };
  test::WriteFile("x.fits", EmptyPrimary() + image(3, 100, 1000) + image(2, 50, 2000) +
                                image(3, 10, 3000) + image(2, 200, 4000));
  const Output o = Convert({"x.fits,2,3,-4,5"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  ASSERT_EQ(o.Width, 5);
  ASSERT_EQ(o.Height, 300);
  for (int y = 0; y < 300; ++y) {
    SCOPED_TRACE(y);
    const uint16_t* row = &o.Pixels[static_cast<std::size_t>(y) * 5];
    if (y < 100) {
      EXPECT_EQ(row[0], 1000 + y * 3);
      EXPECT_EQ(row[3], y < 50 ? 2000 + y * 2 : 0);
    } else {
      EXPECT_EQ(row[0], y - 100 < 10 ? 3000 + (y - 100) * 3 : 0);
      EXPECT_EQ(row[4], 4000 + (y - 100) * 2 + 1);
    }
  }
}

TEST_F(FitsData, TarotColumnRepairs) {
  const int width = 1040;
  std::vector<int16_t> row(width);
  for (int i = 0; i < width; ++i) row[i] = static_cast<int16_t>(i + 1);
  test::WriteFile("t.fits", Hdu(true, 16, width, 2, BigEndian(row) + BigEndian(row)));
  Output o = Convert({"t.fits", "ETAROT"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  ASSERT_EQ(o.Pixels.size(), 2u * width);
  for (int i = 0; i < width; ++i) {
    const int want = i <= 1030 ? i + 3 : i <= 1034 ? 0 : i - 1;
    ASSERT_EQ(o.Pixels[width + i], want) << i;
  }
  // A narrow image under the same option is left alone rather than overrun.
  test::WriteFile("n.fits", Hdu(true, 16, 4, 1, BigEndian<int16_t>({1, 2, 3, 4})));
  o = Convert({"n.fits", "ETAROT"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{1, 2, 3, 4}));
}

TEST_F(FitsData, TruncatedDataSections) {
  // A few missing rows read as stored zeros, and the run says so: a card, a
  // console line and status 3. A sample cut in its middle is missing too.
  std::string data = BigEndian<int16_t>({7, 8, 9});
  std::string file = Hdu(true, 16, 3, 4, data);
  file.resize(2880 + data.size() + 1);
  test::WriteFile("cut.fits", file);
  Output o = Convert({"cut.fits"});
  ASSERT_EQ(o.Status, 3) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_NE(o.Header.find(Card("COMMENT   Input truncated: the last 9 of 12 samples are missing "
                               "and set to 0")),
            std::string::npos)
      << o.Header;
  EXPECT_NE(o.Transcript.find("Fichier tronqu\u00e9 : 9 \u00e9chantillons sur 12 manquent\n"),
            std::string::npos);

  // A header claiming a huge image over a few bytes is refused before any output.
  std::string huge = Hdu(true, 16, 30000, 30000, std::string(100, '\1'));
  huge.resize(2880 + 100);
  test::WriteFile("huge.fits", huge);
  o = Convert({"huge.fits"});
  EXPECT_EQ(o.Status, 1) << o.Transcript;
  EXPECT_FALSE(std::filesystem::exists("huge.fit"));
  EXPECT_FALSE(std::filesystem::exists("korv0001.fit"));
}

TEST_F(FitsData, HostileCompressedData) {
  // The program's own compressed files cut short, or with escapes at the very
  // end: every row is still delivered, from zeros, and nothing hangs.
  const std::vector<std::string> prevPixel = {
      "COMPRES1= 'PREVPIXEL'", "LAXIS1  =                  200", "LAXIS2  =                  300"};
  std::string fip = Hdu(true, 16, 200, 300, "", prevPixel);
  fip += std::string("\xff\x01\x02\x80\x80\xff", 6);
  test::WriteFile("esc.fip", fip);
  Output o = Convert({"esc.fip"});
  ASSERT_EQ(o.Status, 3) << o.Transcript;
  ASSERT_EQ(o.Pixels.size(), 200u * 300u);
  EXPECT_EQ(o.Pixels[0], 0x0102);
  EXPECT_EQ(o.Pixels[2], 0x0104);

  std::string fiv =
      Hdu(true, 16, 9, 40, "", {"COMPRES1= 'PROF-VAR'", "BZERO   =                32768"});
  fiv += std::string("\x80\xff\xff\x00\x7f\x01\x02", 7);
  test::WriteFile("long.fiv", fiv);
  o = Convert({"long.fiv"});
  ASSERT_EQ(o.Status, 3) << o.Transcript;
  EXPECT_EQ(o.Pixels.size(), 9u * 40u);

  // A compressed image claiming far more rows than its bytes can hold.
  std::string big = Hdu(true, 16, 30000, 60000, "", {"COMPRES1= 'PROF-VAR'"});
  test::WriteFile("big.fiv", big + std::string(64, '\x80'));
  o = Convert({"big.fiv"});
  EXPECT_EQ(o.Status, 1) << o.Transcript;

  // 66 KB holding one row of 30000 literal samples, though 2000 rows of the
  // least size (64 bytes) would fit: refused before any output, not after
  // tens of MB of zeros.
  std::string row;
  for (int p = 0; p < 16; ++p) {
    row += std::string("\x00\xa6\x0e", 3); // a literal of 3750 bytes
    for (int i = 0; i < 3750; ++i) row.push_back(static_cast<char>(i * 7 + p));
  }
  std::string wide = Hdu(true, 16, 30000, 2000, "", {"COMPRES1= 'PROF-VAR'"});
  wide.resize(2880);
  test::WriteFile("wide.fiv", wide + row + std::string(66000 - row.size(), '\x55'));
  o = Convert({"wide.fiv"});
  EXPECT_EQ(o.Status, 1) << o.Transcript;
  EXPECT_EQ(o.Transcript.find("Sor="), std::string::npos) << o.Transcript;
}

// Bits most significant first.
std::string Bits(const std::string& bits) {
  std::string out;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (i % 8 == 0) out.push_back('\0');
    if (bits[i] == '1') out.back() = static_cast<char>(out.back() | (0x80 >> (i % 8)));
  }
  return out;
}

TEST_F(FitsData, RiceRowsBesidePlainRows) {
  // k = 0, m = 2; the running sample is signed and carries over rows, and the
  // bit stream runs on across rows while the plain image beside it is read.
  const std::string stream = Bits("0001"
                                  "0000000100000000"
                                  "001"
                                  "01" // 256 257 256
                                  "1"
                                  "0000"
                                  "1111111111111111"
                                  "001"); // 256 -1 0
  test::WriteFile("r.fits", EmptyPrimary() +
                                Hdu(false, 16, 2, 2, BigEndian<int16_t>({-3, -2, -1, 0}),
                                    {"BZERO   =                32768"}) +
                                Hdu(false, 16, 3, 2, stream,
                                    {"COMPRESS= 'RICE_0_2'", "BZERO   =                32768"}));
  const Output o = Convert({"r.fits,2,3"});
  ASSERT_EQ(o.Status, 0) << o.Transcript;
  EXPECT_EQ(o.Pixels, (Samples{32765, 32766, 33024, 33025, 33024, //
                               32767, 32768, 33024, 32767, 32768}));
}

TEST_F(FitsData, DamagedTileCompressedFilesNeverCrash) {
  const std::string source =
      test::ReadFile(std::string(KORV_SOURCE_DIR) + "/fuzz/corpus/fz/rice_tiles.fz");
  ASSERT_GT(source.size(), 2880u * 2);
  std::mt19937 rng(9);
  for (int round = 0; round < 24; ++round) {
    std::string file = source;
    if (round % 2) {
      file.resize(2880 * 2 + rng() % (source.size() - 2880 * 2)); // cut inside the table or heap
    } else {
      for (int k = 0; k < 8; ++k) // scribble on table and heap
        file[2880 * 2 + rng() % (source.size() - 2880 * 2)] = static_cast<char>(rng());
    }
    const std::string name = "d" + std::to_string(round) + ".fz";
    test::WriteFile(name, file);
    const Output o = Convert({name});
    EXPECT_TRUE(o.Status == 0 || o.Status == 1 || o.Status == 3) << o.Transcript;
  }
}

// Inputs found by fuzzing: a huge ZDITHER0, and blank values in a real column
// that no integer equals (1e300, NaN). Each converts like the same file with the
// value made harmless: ZDITHER0 counts modulo the 10000 dither values, and a
// blank no pixel can equal marks none.
TEST_F(FitsData, FuzzFindingsConvertLikeTheirHarmlessTwins) {
  const std::string findings = std::string(KORV_SOURCE_DIR) + "/../shared/findings/";
  if (!std::filesystem::exists(findings)) GTEST_SKIP() << "findings not found";
  const struct {
    const char* Name;
    const char* From;
    const char* To;
  } cases[] = {
      {"F1_zdither0_overflow.fz", "ZDITHER0=  9223372036854775799", "ZDITHER0=                 5799"},
      {"F2_zblank_column_double_huge.fz", "TTYPE3  = 'ZBLANK  '", "TTYPE3  = 'NOTHING '"},
      {"F2b_zblank_column_double_nan.fz", "TTYPE3  = 'ZBLANK  '", "TTYPE3  = 'NOTHING '"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string bytes = test::ReadFile(findings + c.Name);
    const std::size_t at = bytes.find(c.From);
    ASSERT_NE(at, std::string::npos);
    std::string twin = bytes;
    twin.replace(at, std::strlen(c.From), c.To);
    ASSERT_EQ(twin.size(), bytes.size());
    test::WriteFile("found.fz", bytes);
    test::WriteFile("twin.fz", twin);
    const Output found = Convert({"found.fz", "TW"});
    const Output harmless = Convert({"twin.fz", "TW"});
    ASSERT_EQ(found.Status, 0) << found.Transcript;
    ASSERT_EQ(harmless.Status, 0) << harmless.Transcript;
    EXPECT_EQ(found.Width, 17);
    EXPECT_EQ(found.Height, 12);
    EXPECT_EQ(found.Pixels, harmless.Pixels);
  }
}

// Samples of a 16- or 8-bit PGM, top row first.
std::string Pgm(int width, int height, int maxval, const Samples& s) {
  std::string out = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
                    std::to_string(maxval) + "\n";
  for (uint16_t v : s) {
    if (maxval > 255) out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

TEST_F(FitsData, OwnFilesReadBackExactly) {
  std::mt19937 rng(42);
  int serial = 0;
  for (int maxval : {65535, 255}) {
    for (int width : {1, 2, 7, 8, 9, 3001}) {
      const int height = 6;
      Samples s;
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          uint16_t v = 0;
          switch (y) {
          case 0: v = 1234; break;                // constant
          case 1: v = (x % 2) ? 65535 : 0; break; // extremes
          case 2: v = 0; break;
          case 3: v = 65535; break;
          default: v = static_cast<uint16_t>(rng()); break; // random
          }
          s.push_back(static_cast<uint16_t>(maxval == 255 ? v & 0xFF : v));
        }
      SCOPED_TRACE("maxval " + std::to_string(maxval) + " width " + std::to_string(width));
      const std::string name = "src" + std::to_string(++serial) + ".pgm";
      test::WriteFile(name, Pgm(width, height, maxval, s));
      const Output plain = Convert({name});
      ASSERT_EQ(plain.Status, 0) << plain.Transcript;
      ASSERT_EQ(plain.Bitpix, maxval == 255 ? 8 : 16);
      // FITS rows run bottom to top.
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          ASSERT_EQ(plain.Pixels[y * width + x], s[(height - 1 - y) * width + x]) << y << "," << x;

      for (const char* option : {"CPRP", "CPVA"}) {
        SCOPED_TRACE(option);
        if (maxval == 255 && std::string(option) == "CPRP") continue; // 16-bit only
        // From the source (rows top first) and from our own .fit (bottom first).
        for (const std::string& from : {name, plain.Path}) {
          const Output packed = Convert({from, option});
          ASSERT_EQ(packed.Status, 0) << packed.Transcript;
          ASSERT_EQ(packed.Path.substr(packed.Path.size() - 4),
                    std::string(option) == "CPRP" ? ".fip" : ".fiv");
          const Output back = Convert({packed.Path});
          ASSERT_EQ(back.Status, 0) << back.Transcript;
          EXPECT_EQ(back.Pixels, plain.Pixels) << packed.Path;
        }
      }
    }
  }
}

} // namespace
} // namespace korv
