// PDS and VICAR files through whole runs: label forms, sample layouts, the
// coded images, mission cards, and the stops on damaged or inconsistent files.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "readers/pds/huffman_first_difference.h"
#include "readers/pds/moc_code_table.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

struct RunResult {
  int Status = -1;
  std::string Console;
};

RunResult Run(const std::string& name, const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {"korvalix", name};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  RunResult r;
  r.Status = korv::Run(args, out);
  r.Console = out.str();
  return r;
}

RunResult Convert(const std::string& name, const std::string& bytes,
                  const std::vector<std::string>& options = {}) {
  WriteFile(name, bytes);
  return Run(name, options);
}

struct FitsImage {
  std::string Header;
  long Bitpix = 0, Width = 0, Height = 0;
  std::vector<int64_t> Top;  // samples, top row first
  int64_t At(long x, long y) const { return Top.at(static_cast<std::size_t>(y * Width + x)); }
  bool Has(const std::string& text) const { return Header.find(text) != std::string::npos; }
};

FitsImage ReadFits(const std::string& path) {
  FitsImage img;
  const std::string f = ReadFile(path);
  std::size_t pos = 0;
  double bzero = 0;
  for (bool end = false; pos + 80 <= f.size() && !end; pos += 80) {
    const std::string card = f.substr(pos, 80);
    img.Header += card + "\n";
    const std::string key = card.substr(0, 8);
    const std::string value = card.substr(10, 20);
    if (key == "END     ") end = true;
    if (key == "BITPIX  ") img.Bitpix = std::stol(value);
    if (key == "NAXIS1  ") img.Width = std::stol(value);
    if (key == "NAXIS2  ") img.Height = std::stol(value);
    if (key == "BZERO   ") bzero = std::stod(value);
  }
  const std::size_t data = (pos + 2879) / 2880 * 2880;
  const std::size_t bytes = img.Bitpix == 8 ? 1 : 2;
  img.Top.resize(static_cast<std::size_t>(img.Width * img.Height));
  for (long y = 0; y < img.Height; ++y) {
    for (long x = 0; x < img.Width; ++x) {
      const std::size_t i = data + ((img.Height - 1 - y) * img.Width + x) * bytes;
      if (i + bytes > f.size()) return img;
      const auto* p = reinterpret_cast<const unsigned char*>(f.data() + i);
      const int64_t v = bytes == 1 ? p[0] : static_cast<int16_t>((p[0] << 8) | p[1]);
      img.Top[static_cast<std::size_t>(y * img.Width + x)] = v + static_cast<int64_t>(bzero);
    }
  }
  return img;
}

// An attached label padded to whole records, then the data.
std::string Pds(const std::string& statements, std::size_t recordBytes, std::size_t labelRecords,
                const std::string& data) {
  std::string label = statements + "END\r\n";
  EXPECT_LE(label.size(), recordBytes * labelRecords) << "label records too few";
  label.resize(recordBytes * labelRecords, ' ');
  return label + data;
}

std::string Words(const std::vector<int>& v, bool msb) {
  std::string s;
  for (int x : v) {
    const auto u = static_cast<uint16_t>(x);
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    s += msb ? std::string{hi, lo} : std::string{lo, hi};
  }
  return s;
}

std::string ImageObject(const std::string& inner) {
  return "OBJECT = IMAGE\r\n" + inner + "END_OBJECT = IMAGE\r\n";
}

TEST(PdsReader, SixteenBitSamplesFollowTypeMaskAndScale) {
  ScratchDir dir;
  struct Case {
    std::string Name, Type, Extra;
    std::vector<int> In, Out;
  };
  const std::vector<Case> cases = {
      {"lsb", "LSB_UNSIGNED_INTEGER", "", {1, 40000, 65535, 0}, {1, 40000, 65535, 0}},
      {"msb", "MSB_INTEGER", "", {-1, 0, 32767, -32768}, {32767, 32768, 65535, 0}},
      {"mask", "UNSIGNED_INTEGER", "SAMPLE_BIT_MASK = 2#111111111111#\r\n",
       {0xF123, 0x0FFF, 0x1000, 5}, {0x123, 0xFFF, 0, 5}},
      {"scale", "UNSIGNED_INTEGER", "SCALING_FACTOR = 0.5\r\n", {3, 5, 100, 65535}, {2, 2, 50, 32768}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const bool msb = c.Type.find("LSB") == std::string::npos;
    const std::string img = Pds("RECORD_TYPE = FIXED_LENGTH\r\nRECORD_BYTES = 100\r\n^IMAGE = 4\r\n" +
                                    ImageObject("LINES = 2\r\nLINE_SAMPLES = 2\r\nSAMPLE_BITS = 16\r\n"
                                                "SAMPLE_TYPE = " + c.Type + "\r\n" + c.Extra),
                                100, 3, Words(c.In, msb));
    const RunResult r = Convert(c.Name + ".img", img);
    ASSERT_EQ(r.Status, 0) << r.Console;
    const FitsImage f = ReadFits(c.Name + ".fit");
    ASSERT_EQ(f.Bitpix, 16);
    EXPECT_EQ(f.Top, std::vector<int64_t>(c.Out.begin(), c.Out.end()));
  }
}

TEST(PdsReader, LabelsInAnyCaseAndDataAfterTheLabel) {
  ScratchDir dir;
  // No pointer: the image follows the label records, not byte 0.
  const std::string img =
      Pds("Record_Type = Fixed_Length\r\nrecord_bytes = 64\r\nLabel_Records = 4\r\n"
          "Object = Image\r\n  Lines = 2\r\n  Line_Samples = 3\r\n  Sample_Bits = 8\r\n"
          "  Sample_Type = Unsigned_Integer\r\n  Target_Name = \"Io\"\r\nEnd_Object\r\n",
          64, 4, std::string{1, 2, 3, 4, 5, 6});
  const RunResult r = Convert("case.img", img);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage f = ReadFits("case.fit");
  EXPECT_EQ(f.Bitpix, 8);
  EXPECT_EQ(f.Top, (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(f.Has("OBJECT  = 'Io")) << f.Header;
}

TEST(PdsReader, PrefixSuffixBandsAndSquareRoot) {
  ScratchDir dir;
  // Each stored line: 2 prefix bytes, 2 samples, 1 suffix byte.
  const std::string lines = std::string{9, 9, 10, 20, 9} + std::string{9, 9, 30, 40, 9};
  const std::string img =
      Pds("RECORD_BYTES = 200\r\n^IMAGE = 201 <BYTES>\r\n" +
              ImageObject("LINES = 2\r\nLINE_SAMPLES = 2\r\nLINE_PREFIX_BYTES = 2\r\n"
                          "LINE_SUFFIX_BYTES = 1\r\nSAMPLE_BITS = 8\r\n"),
          200, 1, lines);
  ASSERT_EQ(Convert("prefix.img", img).Status, 0);
  EXPECT_EQ(ReadFits("prefix.fit").Top, (std::vector<int64_t>{10, 20, 30, 40}));

  // Companded bytes come out as 16-bit samples, whatever the order of the statements.
  const std::string sq = Pds("RECORD_BYTES = 200\r\n^IMAGE = 2\r\n" +
                                 ImageObject("LINES = 1\r\nLINE_SAMPLES = 3\r\nSAMPLE_BITS = 8\r\n") +
                                 "SAMPLE_BIT_MODE_ID = SQROOT\r\n",
                             200, 1, std::string{10, 100, static_cast<char>(255)});
  ASSERT_EQ(Convert("sq.img", sq).Status, 0);
  const FitsImage f = ReadFits("sq.fit");
  EXPECT_EQ(f.Bitpix, 16);
  EXPECT_EQ(f.Top, (std::vector<int64_t>{10, 8 * 100 - 465, 2879}));

  // Three 8-bit band planes weighted to grey with the channel weights.
  const std::string rgb = Pds("RECORD_BYTES = 200\r\n^IMAGE = 2\r\n" +
                                  ImageObject("LINES = 1\r\nLINE_SAMPLES = 2\r\nBANDS = 3\r\n"
                                              "SAMPLE_BITS = 8\r\n"),
                              200, 1, std::string{100, 0, 50, 0, 10, 90});
  ASSERT_EQ(Convert("rgb.img", rgb, {"C1,1,1"}).Status, 0);
  EXPECT_EQ(ReadFits("rgb.fit").Top, (std::vector<int64_t>{160, 90}));
}

TEST(PdsReader, DetachedLabelsOpenTheirDataFileBeside) {
  ScratchDir dir;
  const std::string stmts = "RECORD_BYTES = 4\r\n^IMAGE = (\"DATA.IMG\", 2)\r\n" +
                            ImageObject("LINES = 1\r\nLINE_SAMPLES = 4\r\nSAMPLE_BITS = 8\r\n");
  WriteFile("data.img", std::string{0, 0, 0, 0, 7, 8, 9, 10});  // found in lower case
  ASSERT_EQ(Convert("det.lbl", stmts + "END\r\n").Status, 0);
  EXPECT_EQ(ReadFits("det.fit").Top, (std::vector<int64_t>{7, 8, 9, 10}));

  std::filesystem::remove("data.img");
  RunResult r = Convert("gone.lbl", stmts + "END\r\n");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Lecture impossible : DATA.IMG"), std::string::npos) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("gone.fit"));

  // A pointer may not leave the label's directory.
  r = Convert("up.lbl", "^IMAGE = \"../x.img\"\r\n" + ImageObject("LINES = 1\r\nLINE_SAMPLES = 1\r\n") +
                            "END\r\n");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Lecture impossible : ../x.img"), std::string::npos) << r.Console;
}

std::string VicarLabel(const std::string& items, std::size_t size) {
  std::string l = "LBLSIZE=" + std::to_string(size) + "  " + items;
  l.resize(size, ' ');
  return l;
}

TEST(VicarReader, BinaryPrefixHeaderLinesAndSampleFormats) {
  ScratchDir dir;
  // NLB = 1 header record and NBB = 3 prefix bytes per line, 2 x 2 bytes.
  std::string img = VicarLabel("FORMAT='BYTE' NL=2 NS=2 NB=1 NBB=3 NLB=1 RECSIZE=5", 100) +
                    std::string(5, 'h') + std::string{'p', 'p', 'p', 1, 2} +
                    std::string{'p', 'p', 'p', 3, 4};
  ASSERT_EQ(Convert("b.vic", img).Status, 0);
  EXPECT_EQ(ReadFits("b.fit").Top, (std::vector<int64_t>{1, 2, 3, 4}));

  // HALF samples are signed: -1 must not become 65535 (shifted by 32768 like PDS).
  img = VicarLabel("FORMAT='HALF' INTFMT='HIGH' NL=1 NS=3 RECSIZE=6", 60) +
        Words({-1, 0, 300}, true);
  ASSERT_EQ(Convert("h.vic", img).Status, 0);
  EXPECT_EQ(ReadFits("h.fit").Top, (std::vector<int64_t>{32767, 32768, 33068}));
  img = VicarLabel("FORMAT='HALF' INTFMT='LOW' NL=1 NS=2 RECSIZE=4", 60) + Words({-2, 2}, false);
  ASSERT_EQ(Convert("l.vic", img).Status, 0);
  EXPECT_EQ(ReadFits("l.fit").Top, (std::vector<int64_t>{32766, 32770}));

  // REAL samples: rounded and clamped; NaN gives 0.
  std::string reals;
  for (uint32_t bits : {0x40490FDBu, 0xC0000000u, 0x7FC00000u, 0x47FFFF00u}) {
    for (int k = 3; k >= 0; --k) reals.push_back(static_cast<char>(bits >> (8 * k)));
  }
  img = VicarLabel("FORMAT='REAL' INTFMT='HIGH' NL=1 NS=4 RECSIZE=16", 60) + reals;
  ASSERT_EQ(Convert("r.vic", img).Status, 0);
  EXPECT_EQ(ReadFits("r.fit").Top, (std::vector<int64_t>{3, 0, 0, 65535}));

  // Wide integers would be misread as bytes: refused.
  const RunResult r = Convert("f.vic", VicarLabel("FORMAT='FULL' NL=1 NS=1", 60) + "abcd");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("pas support"), std::string::npos);
}

TEST(VicarReader, DatesAndTheirNullValues) {
  ScratchDir dir;
  const std::string data(4, 1);
  ASSERT_EQ(Convert("d.vic", VicarLabel("NL=2 NS=2 SCETYEAR=1989 SCETDAY=156 SCETHOUR=8 "
                                        "SCETMIN=54 SCETSEC=48 SCETMSEC=0 TARGET_NAME='NEPTUNE'",
                                        200) +
                                 data)
                .Status,
            0);
  const FitsImage f = ReadFits("d.fit");
  EXPECT_TRUE(f.Has("DATE-OBS= '1989-06-05T08:54:48")) << f.Header;
  EXPECT_TRUE(f.Has("OBJECT  = 'NEPTUNE")) << f.Header;

  // The archives write -32768 for an unknown year: no date at all.
  ASSERT_EQ(Convert("n.vic", VicarLabel("NL=2 NS=2 SCETYEAR=-32768 SCETDAY=-32768 SCETHOUR=3", 200) +
                                 data)
                .Status,
            0);
  EXPECT_FALSE(ReadFits("n.fit").Has("DATE-OBS"));
  ASSERT_EQ(Convert("p.img", Pds("START_TIME = 0000-01-01T00:00:00\r\nIMAGE_TIME = N/A\r\n"
                                 "STOP_TIME = UNK\r\n^IMAGE = 2\r\nRECORD_BYTES = 200\r\n" +
                                     ImageObject("LINES = 1\r\nLINE_SAMPLES = 2\r\n"),
                                 200, 1, "ab"))
                .Status,
            0);
  EXPECT_FALSE(ReadFits("p.fit").Has("DATE-OBS"));
}

TEST(PdsReader, MissionFactsBecomeValidCards) {
  ScratchDir dir;
  const std::string img =
      Pds("RECORD_BYTES = 100\r\n^IMAGE = 10\r\nSPACECRAFT_NAME = VOYAGER_2\r\n"
          "INSTRUMENT_NAME = \"NARROW ANGLE CAMERA\"\r\nINSTRUMENT_ID = \"ISS'N\"\r\n"
          "FILTER_NAME = CLEAR\r\nIMAGE_TIME = 1989-156T08:54:48Z\r\n"
          "EXPOSURE_DURATION = 2.88 <SECOND>\r\nNOTE = \"A note that runs\r\n"
          "   over = two lines\"\r\n"
          "GROUP = SITE_DERIVED_GEOMETRY_PARMS\r\n  SOLAR_AZIMUTH = 123.5 <deg>\r\n"
          "  SOLAR_ELEVATION = N/A\r\nEND_GROUP\r\n" +
              ImageObject("LINES = 1\r\nLINE_SAMPLES = 2\r\n"),
          100, 9, "ab");
  const RunResult r = Convert("m.img", img);
  ASSERT_EQ(r.Status, 0) << r.Console;
  const FitsImage f = ReadFits("m.fit");
  for (const std::string card :
       {"ORIGIN  = 'VOYAGER_2'", "INSTNAME= 'NARROW ANGLE CAMERA'", "INSTIDEN= 'ISS''N'",
        "DATE-OBS= '1989-06-05T08:54:4", "EXPTIME =               2.8800", "COMMENTS= 'A note that runs'",
        "SOLARAZI=                123.5 / <deg>", "SOLARELE= 'N/A'"}) {
    EXPECT_TRUE(f.Has(card)) << card << "\n" << f.Header;
  }
  // The continued NOTE line is no statement of its own.
  EXPECT_EQ(r.Console.find("OVER"), std::string::npos);
}

// Variable-length records: 16-bit little-endian length, bytes, pad to even.
std::string Records(const std::vector<std::string>& recs) {
  std::string s;
  for (const std::string& r : recs) {
    s.push_back(static_cast<char>(r.size() & 0xFF));
    s.push_back(static_cast<char>(r.size() >> 8));
    s += r;
    if (r.size() & 1) s.push_back('\0');
  }
  return s;
}

// A Huffman-coded file: 10 label records, the histogram in records 11-13 (836,
// 836 and 372 bytes), one record per line from record 14.
std::string HuffmanFile(const std::map<int, uint32_t>& counts, const std::vector<std::string>& lines,
                        int width) {
  std::string hist(HuffmanHistogramBytes, '\0');
  for (const auto& [d, n] : counts)
    for (std::size_t k = 0; k < 4; ++k)
      hist[static_cast<std::size_t>(d + 255) * 4 + k] = static_cast<char>(n >> (8 * k));
  const std::vector<std::string> label = {
      "RECORD_TYPE = VARIABLE_LENGTH", "RECORD_BYTES = 836", "^ENCODING_HISTOGRAM = 11",
      "^IMAGE = 14", "OBJECT = IMAGE", "ENCODING_TYPE = HUFFMAN_FIRST_DIFFERENCE",
      "LINES = " + std::to_string(lines.size()), "LINE_SAMPLES = " + std::to_string(width),
      "END_OBJECT", "END"};
  return Records(label) + Records({hist.substr(0, 836), hist.substr(836, 836), hist.substr(1672)}) +
         Records(lines);
}

TEST(PdsReader, HuffmanCodedImages) {
  ScratchDir dir;
  // Codes: +1 00, +2 01, -1 10, 0 11.
  const std::map<int, uint32_t> counts = {{-1, 1}, {0, 1}, {1, 1}, {2, 1}};
  auto file = [&](const std::vector<std::string>& lines) { return HuffmanFile(counts, lines, 4); };
  RunResult r = Convert("h.imq", file({std::string{100, 0b00011011}, std::string{50, static_cast<char>(0b10101010)}}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(r.Console.find("Nni=4"), std::string::npos);
  EXPECT_NE(r.Console.find("Nnf=7"), std::string::npos);
  EXPECT_EQ(ReadFits("h.fit").Top, (std::vector<int64_t>{100, 99, 97, 98, 50, 51, 52, 53}));

  // A short line is completed with zeros and the run says the file is incomplete.
  r = Convert("s.imq", file({std::string{100, 0b00011011}, std::string{50}}));
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_EQ(ReadFits("s.fit").Top, (std::vector<int64_t>{100, 99, 97, 98, 50, 0, 0, 0}));

  r = Convert("l.imq", file({std::string(3073, 'x'), std::string{1}}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Longueur erron\u00e9e"), std::string::npos) << r.Console;

  r = Convert("e.imq", HuffmanFile({}, {std::string{1}}, 4));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Histogramme de codage vide"), std::string::npos) << r.Console;

  // Variable-length records need the Huffman coding, and it needs its histogram.
  r = Convert("v.imq", Records({"RECORD_TYPE = VARIABLE_LENGTH", "OBJECT = IMAGE", "LINES = 1",
                                "LINE_SAMPLES = 1", "END_OBJECT", "END", "x"}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Incoh\u00e9rence de l'image"), std::string::npos) << r.Console;
  r = Convert("t.imq", Records({"RECORD_TYPE = VARIABLE_LENGTH", std::string(300, 'x')}));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Enregistrement trop long"), std::string::npos) << r.Console;
}

// Prefix-code bits of the differences, least significant bit first.
std::string MocBits(const std::vector<uint8_t>& differences) {
  std::string bytes;
  unsigned n = 0;
  for (uint8_t d : differences) {
    for (unsigned k = 0; k < MocCodeTable[d].Length; ++k, ++n) {
      if (n % 8 == 0) bytes.push_back('\0');
      if ((MocCodeTable[d].Word >> k) & 1u) bytes.back() = static_cast<char>(bytes.back() | (1 << (n % 8)));
    }
  }
  return bytes;
}

std::string MocHeader(uint32_t length) {
  std::string h(62, 'H');
  for (int k = 0; k < 4; ++k) h[58 + static_cast<std::size_t>(k)] = static_cast<char>(length >> (8 * k));
  return h;
}

TEST(PdsReader, MarsCameraStreamsBottomLineFirst) {
  ScratchDir dir;
  auto label = [](const std::string& coding, int lines) {
    return Pds("RECORD_BYTES = 200\r\nLABEL_RECORDS = 1\r\n" +
                   ImageObject("LINES = " + std::to_string(lines) + "\r\nLINE_SAMPLES = 3\r\n"
                               "ENCODING_TYPE = \"" + coding + "\"\r\n"),
               200, 1, "");
  };
  // Plain bytes across two blocks.
  const std::string none = label("MOC-NONE", 2) + MocHeader(4) + std::string{1, 2, 3, 4} + "S" +
                           MocHeader(10) + std::string{5, 6};
  ASSERT_EQ(Convert("n.img", none).Status, 0);
  EXPECT_EQ(ReadFits("n.fit").Top, (std::vector<int64_t>{4, 5, 6, 1, 2, 3}));

  // A synchronisation line, then a predicted one: 0+1, +2, -1.
  const std::string payload = std::string{7, static_cast<char>(202), static_cast<char>(240), 10, 20, 30} +
                              MocBits({1, 2, 255});
  const std::string pred =
      label("MOC-PRED-X-5", 2) + MocHeader(static_cast<uint32_t>(payload.size())) + payload;
  ASSERT_EQ(Convert("p.img", pred).Status, 0);
  EXPECT_EQ(ReadFits("p.fit").Top, (std::vector<int64_t>{1, 3, 2, 10, 20, 30}));

  const RunResult r = Convert("d.img", label("MOC-DCT-1", 1));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Cod=MOC-DCT-1: pas d\u00e9cod\u00e9"), std::string::npos) << r.Console;
}

TEST(PdsReader, PreviousPixelAndBrowseImages) {
  ScratchDir dir;
  // Junk, then 255 with an absolute value, then differences around 127.
  const std::string pp = Pds("RECORD_BYTES = 200\r\n^IMAGE = 2\r\n" +
                                 ImageObject("LINES = 1\r\nLINE_SAMPLES = 4\r\n"
                                             "ENCODING_TYPE = PREVIOUS_PIXEL\r\n"),
                             200, 1,
                             std::string{9, 9, static_cast<char>(255), 1, 0, static_cast<char>(128),
                                         static_cast<char>(126), static_cast<char>(255), 0, 5});
  ASSERT_EQ(Convert("pp.img", pp).Status, 0);
  EXPECT_EQ(ReadFits("pp.fit").Top, (std::vector<int64_t>{256, 257, 256, 5}));

  // A coding without a decoder falls back to the browse image, pointed at in bytes.
  const std::string stmts = "RECORD_BYTES = 200\r\n^IMAGE = 3\r\n^BROWSE_IMAGE = 402 <BYTES>\r\n" +
                            ImageObject("LINES = 100\r\nLINE_SAMPLES = 100\r\n"
                                        "ENCODING_TYPE = CLEM-JPEG-1\r\n") +
                            "OBJECT = BROWSE_IMAGE\r\nLINES = 2\r\nLINE_SAMPLES = 2\r\nEND_OBJECT\r\n";
  RunResult r = Convert("b.img", Pds(stmts, 200, 2, std::string{0, 11, 12, 13, 14}));
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_NE(r.Console.find("Cod=CLEM-JPEG-1: pas d\u00e9cod\u00e9 -> image r\u00e9duite"),
            std::string::npos);
  EXPECT_EQ(ReadFits("b.fit").Top, (std::vector<int64_t>{11, 12, 13, 14}));
}

TEST(PdsReader, GeometryAndTruncation) {
  ScratchDir dir;
  auto img = [](const std::string& w, const std::string& h, const std::string& data) {
    return Pds("RECORD_BYTES = 200\r\n^IMAGE = 2\r\n" +
                   ImageObject("LINES = " + h + "\r\nLINE_SAMPLES = " + w + "\r\n"),
               200, 1, data);
  };
  for (const auto& [w, h] : std::vector<std::pair<std::string, std::string>>{
           {"0", "4"}, {"4", "0"}, {"30001", "1"}, {"1", "99999999999999999999"}}) {
    const RunResult r = Convert("g.img", img(w, h, "abcd"));
    EXPECT_EQ(r.Status, 1) << w << " x " << h;
    EXPECT_NE(r.Console.find("Taille d'image incorrecte"), std::string::npos);
  }
  // Rows the file does not hold are zeros, and said to be.
  RunResult r = Convert("t.img", img("2", "3", std::string{1, 2, 3}));
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_EQ(ReadFits("t.fit").Top, (std::vector<int64_t>{1, 2, 3, 0, 0, 0}));
  // A huge image claimed by a tiny file is refused before any output.
  r = Convert("big.img", img("30000", "30000", "x"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_FALSE(std::filesystem::exists("big.fit"));
}

} // namespace
} // namespace korv
