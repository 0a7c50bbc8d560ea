// Pentax Huffman-coded and Olympus compressed raw data: the decoders on their
// own (tables, long codes, streams that run out) and whole PEF and ORF files
// through the reader (their refusals, truncation, plain Olympus words).

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "readers/tiff/olympus_decoder.h"
#include "readers/tiff/pentax_huffman.h"
#include "tests/raw_file_writer.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::ConvertFile;
using test::ReadFitsImage;
using Samples = std::vector<uint16_t>;

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::vector<int64_t> AsValues(const Samples& s) { return {s.begin(), s.end()}; }

Samples DecodePentax(const std::string& stream, const PentaxCodeTable& table, unsigned w,
                     unsigned h, PentaxHuffmanDecoder& dec) {
  dec.Start(Bytes(stream), table);
  Samples out(static_cast<std::size_t>(w) * h);
  for (unsigned r = 0; r < h; ++r) dec.DecodeRow(std::span<uint16_t>(out).subspan(r * std::size_t{w}, w));
  return out;
}

Samples DecodeOlympus(const std::string& data, unsigned w, unsigned h, OlympusDecoder& dec) {
  dec.Start(Bytes(data).subspan(OlympusDataSkip), w);
  Samples out(static_cast<std::size_t>(w) * h);
  for (unsigned r = 0; r < h; ++r) dec.DecodeRow(std::span<uint16_t>(out).subspan(r * std::size_t{w}, w));
  return out;
}

TEST(PentaxCodes, TableWordCodesAndLengthsAsStored) {
  const test::PentaxCodes codes = test::MakePentaxCodes(13);
  PentaxCodeTable t;
  ASSERT_TRUE(ReadPentaxCodeTable(Bytes(codes.TableBytes()), true, t));
  // The word stores the count less 12, modulo 16.
  EXPECT_EQ(t.Count, 13u);
  EXPECT_EQ(t.Length[6], 2u);
  EXPECT_EQ(t.ShortestLength, 2u);
  // Category 6 has the only 2-bit code, 00: a quarter of the 12-bit space.
  EXPECT_EQ(t.Lookup[0], (2u << 8) | 6u);
  EXPECT_EQ(t.Lookup[1023], (2u << 8) | 6u);
  EXPECT_NE(t.Lookup[1024] & 0xFF, 6u);

  // A code of length 0 or above 12, or one whose range passes the end of the
  // space, fills nothing; a later code overwrites an earlier one.
  std::string raw(2 + 12 + 3 * 4, '\0');
  raw[1] = static_cast<char>((4 + 4) & 15);  // four codes
  auto code = [&](unsigned c, unsigned value, unsigned len) {
    raw[14 + 2 * c] = static_cast<char>(value >> 8);
    raw[15 + 2 * c] = static_cast<char>(value & 0xFF);
    raw[14 + 8 + c] = static_cast<char>(len);
  };
  code(0, 0x000, 0);
  code(1, 0x000, 13);
  code(2, 0xC00, 1);   // 2048 values from 3072: passes 4096
  code(3, 0x800, 2);
  ASSERT_TRUE(ReadPentaxCodeTable(Bytes(raw), true, t));
  EXPECT_EQ(t.Lookup[0], 0u);
  EXPECT_EQ(t.Lookup[0x800], (2u << 8) | 3u);
  EXPECT_EQ(t.Lookup[0xBFF], (2u << 8) | 3u);
  EXPECT_EQ(t.Lookup[0xC00], 0u);
  EXPECT_EQ(t.Lookup[0x7FF], 0u);
  code(3, 0x800, 0);
  EXPECT_FALSE(ReadPentaxCodeTable(Bytes(raw), true, t));

  // Words low byte first in a little-endian file.
  ASSERT_TRUE(ReadPentaxCodeTable(Bytes(codes.TableBytes(false)), false, t));
  EXPECT_EQ(t.Count, 13u);
  EXPECT_EQ(t.Lookup[0], (2u << 8) | 6u);
}

TEST(PentaxDecoder, BitsNoCodeStandsForMarkTheDataDamaged) {
  // Two codes of 2 bits (00 and 01): 12-bit values from 0x800 on are a hole.
  std::string raw(2 + 12 + 3 * 2, '\0');
  raw[1] = static_cast<char>((2 + 4) & 15);
  raw[14] = 0x00;
  raw[15] = 0x00;
  raw[16] = 0x04;
  raw[17] = 0x00;
  raw[18] = 2;
  raw[19] = 2;
  PentaxCodeTable t;
  ASSERT_TRUE(ReadPentaxCodeTable(Bytes(raw), true, t));
  PentaxHuffmanDecoder dec;
  // Rows of category-0 codes, then a byte starting with 1: damaged from row 2.
  std::string stream(4, '\0');
  stream += std::string(1, '\x80') + std::string(64, '\0');
  DecodePentax(stream, t, 8, 5, dec);
  EXPECT_TRUE(dec.RanOut());
  EXPECT_EQ(dec.FirstShortRow(), 2u);
}

TEST(PentaxDecoder, DecodesWhatTheEncoderWroteAndTellsWhereTheDataEnd) {
  for (unsigned bits : {12u, 14u}) {
    for (unsigned w : {1u, 2u, 3u, 37u}) {
      const unsigned h = 9;
      const Samples raw = test::MakeMosaic(w, h, bits, w + bits);
      const test::PentaxCodes codes = test::MakePentaxCodes(bits == 12 ? 13 : 15);
      PentaxCodeTable t;
      ASSERT_TRUE(ReadPentaxCodeTable(Bytes(codes.TableBytes()), true, t));
      const std::string stream = test::EncodePentaxData(raw, w, h, codes);
      PentaxHuffmanDecoder dec;
      EXPECT_EQ(DecodePentax(stream, t, w, h, dec), raw) << bits << " bits, width " << w;
      EXPECT_FALSE(dec.RanOut());
      if (w == 37) {
        // Half the stream: the rows decoded from zeros past its end are counted.
        DecodePentax(stream.substr(0, stream.size() / 2), t, w, h, dec);
        EXPECT_TRUE(dec.RanOut());
        EXPECT_GE(dec.FirstShortRow(), 3u);
        EXPECT_LE(dec.FirstShortRow(), 5u);
      }
    }
  }
}

TEST(OlympusDecoder, DecodesEscapesEdgesAndSharpStepsExactly) {
  for (unsigned w : {1u, 2u, 5u, 64u}) {
    const unsigned h = 7;
    Samples raw = test::MakeMosaic(w, h, 12, w);
    // Full-range steps need the 12-zero escape and the predictor's edge cases.
    for (unsigned r = 0; r < h; ++r) raw[r * std::size_t{w} + (r * 3) % w] = (r & 1) ? 4095 : 0;
    const std::string data = test::EncodeOlympusData(raw, w, h);
    OlympusDecoder dec;
    EXPECT_EQ(DecodeOlympus(data, w, h, dec), raw) << "width " << w;
    EXPECT_FALSE(dec.RanOut());
  }
  const Samples raw = test::MakeMosaic(50, 20, 12, 4);
  const std::string data = test::EncodeOlympusData(raw, 50, 20);
  OlympusDecoder dec;
  DecodeOlympus(data.substr(0, data.size() / 4), 50, 20, dec);
  EXPECT_TRUE(dec.RanOut());
  EXPECT_LT(dec.FirstShortRow(), 10u);
}

class PentaxOlympusFiles : public ::testing::Test {
protected:
  test::ScratchDir dir;
};

TEST_F(PentaxOlympusFiles, PefDecodesWithEitherMakerNoteAndListsItsTable) {
  for (int kind : {0, 1, 2}) {
    test::PefOptions o;
    o.Bits = 14;
    o.CodeCount = 15;
    o.PentaxHeader = kind == 1;
    o.BigEndian = kind != 2;  // the table's words in the file's byte order
    const Samples raw = test::MakeMosaic(40, 30, 14, 6);
    const auto r = ConvertFile("k.pef", test::WritePef(raw, 40, 30, o), {"C1,1,1,1"});
    ASSERT_EQ(r.Status, 0) << r.Console;
    EXPECT_EQ(ReadFitsImage("k.fit").TopDown(), AsValues(raw));
    EXPECT_TRUE(r.Has("Pro=15")) << r.Console;
    EXPECT_NE(r.Console.find("Bi1=8 7 6 5 4 3 2 3 4 5 6 7 8 9 10 "), std::string::npos) << r.Console;
    std::filesystem::remove("k.fit");
  }
}

TEST_F(PentaxOlympusFiles, PefWithoutTableOrDataIsRefusedAndACutOneIsTruncated) {
  test::PefOptions o;
  o.WithTable = false;
  const Samples raw = test::MakeMosaic(40, 30, 12, 2);
  auto r = ConvertFile("n.pef", test::WritePef(raw, 40, 30, o));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Compression pas support\u00e9e"), std::string::npos) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("n.fit"));

  o.WithTable = true;
  const std::string file = test::WritePef(raw, 40, 30, o);
  r = ConvertFile("c.pef", file.substr(0, file.size() - 600), {"C1,1,1,1"});
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_GT(r.Truncated.Missing, 0u);
  EXPECT_LT(r.Truncated.Missing, 30u);
  // The first rows are intact.
  const auto img = ReadFitsImage("c.fit");
  EXPECT_EQ(img.Row(0), std::vector<int64_t>(raw.begin(), raw.begin() + 40));

  // A geometry far beyond what the data could hold is refused before output.
  std::string huge = file;
  for (const char tag : {'\x00', '\x01'}) {
    // Width (tag 256: 40) and height (tag 257: 30) both become 20000.
    const char was = tag == 0 ? '\x28' : '\x1E';
    const std::size_t at = huge.find(std::string("\x01") + tag + std::string("\x00\x04\x00\x00\x00\x01\x00\x00\x00", 9) + was);
    ASSERT_NE(at, std::string::npos);
    huge[at + 10] = '\x4E';
    huge[at + 11] = '\x20';
  }
  r = ConvertFile("h.pef", huge.substr(0, 2000));
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("h.fit"));
}

TEST_F(PentaxOlympusFiles, OrfCompressedPlainAndRefused) {
  const Samples raw = test::MakeMosaic(36, 24, 12, 8);
  auto r = ConvertFile("o.orf", test::WriteOrf(raw, 36, 24), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("o.fit").TopDown(), AsValues(raw));
  std::filesystem::remove("o.fit");

  // 16-bit words taking the room of 16-bit words are read as they are.
  r = ConvertFile("p.orf", test::WriteOrf(raw, 36, 24, true), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("p.fit").TopDown(), AsValues(raw));

  // Packed 12-bit samples, rows not ending on a 32-bit word (width 36).
  r = ConvertFile("w.orf", test::WriteOrf(raw, 36, 24, true, 12), {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("w.fit").TopDown(), AsValues(raw));

  // A noisy image whose stream takes more than a word a sample is still coded.
  Samples noise(static_cast<std::size_t>(36) * 24);
  std::mt19937 rng(5);
  // Noise mixed with full-range jumps, which take the escape code.
  for (auto& v : noise) {
    const unsigned x = rng();
    v = static_cast<uint16_t>((x & 0x100) ? rng() & 0xFFF : (x & 1) ? 4095 : 0);
  }
  const std::string noisy = test::WriteOrf(noise, 36, 24);
  ASSERT_GT(noisy.size(), 2u * 36 * 24 + 300);
  r = ConvertFile("n.orf", noisy, {"C1,1,1,1"});
  ASSERT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(ReadFitsImage("n.fit").TopDown(), AsValues(noise));

  // Packed 12-bit rows are known only at their exact size.
  std::string longer = test::WriteOrf(raw, 36, 24, true, 12);
  const std::size_t count = longer.find(std::string("\x17\x01\x04\x00\x01\x00\x00\x00", 8));
  ASSERT_NE(count, std::string::npos);
  longer[count + 8] = static_cast<char>(longer[count + 8] + 4);  // four bytes more
  r = ConvertFile("l.orf", longer + "    ");
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("l.fit"));

  // 12-bit samples in less room than packed 12-bit rows: no decoder for them.
  r = ConvertFile("q.orf", test::WriteOrf(raw, 36, 24, false, 12));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Console.find("Compression pas support\u00e9e"), std::string::npos) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("q.fit"));

  // A cut stream: converted, the rows past the data counted.
  const std::string file = test::WriteOrf(raw, 36, 24);
  r = ConvertFile("t.orf", file.substr(0, file.size() - 400), {"C1,1,1,1"});
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_GT(r.Truncated.Missing, 0u);
}

TEST_F(PentaxOlympusFiles, StrippedCompressedDataAreRefusedNotZeroFilled) {
  // Metadata samples keep a few bytes of the raw data: even at the shortest
  // code they cannot hold half of the image.
  const Samples raw = test::MakeMosaic(600, 400, 12, 3);
  Samples coded;
  test::NefOptions nef;
  nef.Lossless = true;
  nef.Vini = {0x200, 0x200, 0x200, 0x200};
  struct Case {
    std::string Name, File;
  };
  const std::string pef = test::WritePef(raw, 600, 400, {});
  const std::string orf = test::WriteOrf(raw, 600, 400);
  const std::string nefFile = test::WriteNef(raw, 600, 400, nef, coded);
  for (const Case& c : {Case{"s.pef", pef}, Case{"s.orf", orf}, Case{"s.nef", nefFile}}) {
    SCOPED_TRACE(c.Name);
    // The directories and maker notes, and a few hundred bytes of data.
    const auto r = ConvertFile(c.Name, c.File.substr(0, 3000));
    EXPECT_EQ(r.Status, 1) << r.Console;
    EXPECT_NE(r.Console.find("Pas de donn\u00e9es d'image dans le fichier"), std::string::npos) << r.Console;
    EXPECT_FALSE(std::filesystem::exists("s.fit"));
  }
}

} // namespace
} // namespace korv
