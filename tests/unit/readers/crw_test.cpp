// Canon CRW: the heap walk, the built-in codes and the low bits, on files the
// tests write with their own encoder; the corpus file whose raw data were
// stripped; and the peer's values on the same files where dcraw is installed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "readers/tiff/crw_decoder.h"
#include "tests/raw_encoders.h"
#include "tests/test_support.h"
#include "tests/unit/readers/raster_run.h"

namespace korv {
namespace {

using test::BitWriter;
using test::HuffCodes;
using test::ScratchDir;
using test::misc_raster::ConvertFile;
using test::misc_raster::ReadFitsImage;

HuffCodes CodesOf(unsigned table, bool first) {
  HuffCodes h;
  const auto c = CrwCodeCounts(table, first);
  const auto s = CrwCodeSymbols(table, first);
  std::copy(c.begin(), c.end(), h.Counts.begin());
  unsigned n = 0;
  for (uint8_t k : c) n += k;
  h.Symbols.assign(s.begin(), s.begin() + n);
  h.Assign();
  return h;
}

unsigned Category(int32_t d) {
  unsigned a = static_cast<unsigned>(d < 0 ? -d : d), n = 0;
  while (a) ++n, a >>= 1;
  return n;
}

void PutCoefficient(BitWriter& bw, const HuffCodes& h, unsigned run, int32_t d) {
  const unsigned len = Category(d);
  const unsigned sym = run << 4 | len;
  bw.Put(h.Code[sym], h.Length[sym]);
  if (len) bw.Put(d > 0 ? static_cast<uint32_t>(d) : static_cast<uint32_t>(d + (1 << len) - 1), len);
}

// Encodes 10-bit samples (width a multiple of 64 per 8 rows) as the cameras do.
std::string EncodeCrw(const std::vector<uint16_t>& s, unsigned width, unsigned table) {
  const HuffCodes first = CodesOf(table, true), other = CodesOf(table, false);
  BitWriter bw(true);
  int32_t base[2] = {512, 512};
  int32_t carry = 0;
  for (std::size_t b = 0; b < s.size(); b += 64) {
    std::array<int32_t, 64> d{};
    for (unsigned i = 0; i < 64; ++i) {
      if ((b + i) % width == 0) base[0] = base[1] = 512;
      d[i] = s[b + i] - base[i & 1];
      base[i & 1] = s[b + i];
    }
    const int32_t d0 = d[0];
    d[0] -= carry;
    carry = d0;
    PutCoefficient(bw, first, 0, d[0]);
    unsigned last = 63;
    while (last > 0 && d[last] == 0) --last;
    unsigned run = 0;
    for (unsigned i = 1; i <= last; ++i) {
      if (d[i] == 0 && run < 15) { ++run; continue; }
      if (d[i] == 0) { bw.Put(other.Code[0xF0], other.Length[0xF0]); run = 0; continue; }
      PutCoefficient(bw, other, run, d[i]);
      run = 0;
    }
    if (last < 63) bw.Put(other.Code[0], other.Length[0]);
  }
  bw.Align();
  return bw.Bytes();
}

void Put16(std::string& s, std::size_t at, uint16_t v, bool big) {
  s[at + (big ? 1 : 0)] = static_cast<char>(v & 0xFF);
  s[at + (big ? 0 : 1)] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::size_t at, uint32_t v, bool big) {
  Put16(s, at + (big ? 2 : 0), static_cast<uint16_t>(v & 0xFFFF), big);
  Put16(s, at + (big ? 0 : 2), static_cast<uint16_t>(v >> 16), big);
}

struct Record {
  uint16_t Tag;
  std::string Data;
};

// A heap: the records' data, then the table, then the table's offset.
std::string Heap(const std::vector<Record>& records, bool big) {
  std::string data;
  std::vector<std::pair<uint32_t, uint32_t>> places;
  for (const Record& r : records) {
    if (r.Tag & 0x4000) { // the 8 bytes sit in the record itself
      places.push_back({0, 0});
      continue;
    }
    places.push_back({static_cast<uint32_t>(data.size()), static_cast<uint32_t>(r.Data.size())});
    data += r.Data;
    if (data.size() & 1) data.push_back('\0');
  }
  const uint32_t table = static_cast<uint32_t>(data.size());
  std::string t(2 + 10 * records.size() + 4, '\0');
  Put16(t, 0, static_cast<uint16_t>(records.size()), big);
  for (std::size_t k = 0; k < records.size(); ++k) {
    Put16(t, 2 + 10 * k, records[k].Tag, big);
    Put32(t, 4 + 10 * k, places[k].second, big);
    Put32(t, 8 + 10 * k, places[k].first, big);
    if (records[k].Tag & 0x4000) t.replace(4 + 10 * k, 8, records[k].Data.substr(0, 8));
  }
  Put32(t, t.size() - 4, table, big);
  return data + t;
}

std::string Words(std::initializer_list<uint32_t> v, unsigned bytes, bool big) {
  std::string s(v.size() * bytes, '\0');
  std::size_t k = 0;
  for (uint32_t x : v) {
    if (bytes == 2) Put16(s, k, static_cast<uint16_t>(x), big);
    else Put32(s, k, x, big);
    k += bytes;
  }
  return s;
}

struct CrwFile {
  unsigned Width = 128, Height = 32, Table = 0;
  bool LowBits = true, Big = false;
  std::vector<uint16_t> Samples; // 12-bit with low bits, else 10-bit
};

std::string BuildCrw(const CrwFile& c) {
  std::vector<uint16_t> high(c.Samples.size());
  std::string low(c.LowBits ? c.Width * c.Height / 4 : 0, '\0');
  for (std::size_t i = 0; i < c.Samples.size(); ++i) {
    high[i] = c.LowBits ? static_cast<uint16_t>(c.Samples[i] >> 2) : c.Samples[i];
    if (c.LowBits) low[i / 4] = static_cast<char>(low[i / 4] | (c.Samples[i] & 3) << (2 * (i & 3)));
  }
  std::string raw = low + std::string(514, '\0') + EncodeCrw(high, c.Width, c.Table);
  // Room after the stream: dcraw reads ahead of what it decodes.
  raw += std::string(16384, '\0');
  const bool b = c.Big;
  std::string shot(64, '\0');
  Put16(shot, 4, 160, b);  // ISO 3.125 * 2^5 = 100
  Put16(shot, 10, static_cast<uint16_t>(-32768), b);
  Put16(shot, 48, 25, b);  // 2.5 s
  const std::string exif = Heap({{0x1835, Words({c.Table, 0, 514, 0}, 4, b)},
                                 {0x1031, Words({0, c.Width, c.Height, 0}, 2, b)},
                                 {0x1029, Words({0, 50, 874, 583}, 2, b)},
                                 {0x102A, shot}},
                                b);
  const std::string camera = Heap({{0x080A, std::string("Canon\0Canon EOS TEST\0", 21)}}, b);
  const std::string props =
      Heap({{0x2807, camera}, {0x300B, exif}, {0x180E | 0x4000, Words({0, 0}, 4, b)}}, b);
  // The raw data first, as dcraw expects them at the start of the heap.
  std::string top = Heap({{0x2005, raw}, {0x300A, props}}, b);
  std::string head(26, '\0');
  head[0] = head[1] = b ? 'M' : 'I';
  Put32(head, 2, 26, b);
  head.replace(6, 8, "HEAPCCDR");
  Put16(head, 14, 2, b);
  Put16(head, 16, 1, b);
  return head + top;
}

std::vector<uint16_t> Smooth(unsigned w, unsigned h, unsigned top, unsigned seed) {
  std::mt19937 g(seed);
  std::vector<uint16_t> s(w * h);
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x)
      s[y * w + x] = static_cast<uint16_t>((x * 7 + y * 13 + g() % 64 + (x & 1) * 200) % (top + 1));
  return s;
}

std::vector<int64_t> TopFirst(const test::misc_raster::FitsImage& img) {
  std::vector<int64_t> v;
  for (long y = 0; y < img.Height; ++y) {
    const auto r = img.Row(y);
    v.insert(v.end(), r.begin(), r.end());
  }
  return v;
}

TEST(CrwDecoding, EveryTableWithAndWithoutLowBitsGivesTheEncodedSamples) {
  ScratchDir dir;
  for (unsigned table : {0u, 1u, 2u, 5u}) {
    for (bool lowBits : {true, false}) {
      CrwFile c;
      c.Table = table;
      c.LowBits = lowBits;
      c.Samples = Smooth(c.Width, c.Height, lowBits ? 4095 : 1023, table + 7);
      const std::string name = "t" + std::to_string(table) + (lowBits ? "l" : "n");
      const auto r = ConvertFile(name + ".crw", BuildCrw(c), {"C1,1,1,1"});
      ASSERT_EQ(r.Status, 0) << r.Console;
      EXPECT_TRUE(r.Has(lowBits ? "Bsu=oui" : "Bsu=non")) << table;
      const auto img = ReadFitsImage(name + ".fit");
      ASSERT_TRUE(img.Valid);
      EXPECT_EQ(TopFirst(img), std::vector<int64_t>(c.Samples.begin(), c.Samples.end()))
          << "table " << table << " low bits " << lowBits;
    }
  }
}

TEST(CrwDecoding, BigEndianHeapReadsLikeLittleEndianAndMetadataIsTaken) {
  ScratchDir dir;
  CrwFile c;
  c.Samples = Smooth(c.Width, c.Height, 4095, 3);
  const auto little = ConvertFile("l.crw", BuildCrw(c), {"C1,1,1,1"});
  c.Big = true;
  const auto big = ConvertFile("b.crw", BuildCrw(c), {"C1,1,1,1"});
  ASSERT_EQ(little.Status, 0) << little.Console;
  ASSERT_EQ(big.Status, 0) << big.Console;
  EXPECT_TRUE(big.Has("Ord=MM"));
  EXPECT_EQ(TopFirst(ReadFitsImage("l.fit")), TopFirst(ReadFitsImage("b.fit")));
  for (const auto* r : {&little, &big}) {
    EXPECT_TRUE(r->Has(" Det=Canon EOS TEST")) << r->Console;
    EXPECT_TRUE(r->Has(" Nph=128 Npv=32"));
    EXPECT_TRUE(r->Has(" (Sen=100.000000)"));
    EXPECT_TRUE(r->Has(" (Poz=2.500000)")); // value 5 is -32768: tenths from value 24
    EXPECT_TRUE(r->Has(" (Dat=0) ")) << r->Console;
  }
}

TEST(CrwDecoding, LowBitProbeAndCombination) {
  // No 0xFF at all counts as present; a stuffed 0xFF 0x00 alone as absent.
  EXPECT_TRUE(CrwHasLowBits(std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(CrwHasLowBits(std::vector<uint8_t>{1, 0xFF, 0, 4}));
  EXPECT_TRUE(CrwHasLowBits(std::vector<uint8_t>{0xFF, 0, 0xFF, 9}));
  std::vector<uint16_t> row{1, 2, 3, 4};
  CombineCrwLowBits(row, std::vector<uint8_t>{0xE4}); // 0, 1, 2, 3 from the lowest bits up
  EXPECT_EQ(row, (std::vector<uint16_t>{4, 9, 14, 19}));
}

TEST(CrwHeap, HostileHeapsStopCleanly) {
  ScratchDir dir;
  CrwFile c;
  c.Samples = Smooth(c.Width, c.Height, 4095, 1);
  std::string f = BuildCrw(c);
  // Table offset past the heap: nothing is found, no geometry.
  std::string bad = f;
  Put32(bad, bad.size() - 4, 0xFFFFFFF0u, false);
  auto r = ConvertFile("a.crw", bad);
  EXPECT_EQ(r.Status, 1) << r.Console;
  EXPECT_TRUE(r.Has("Taille d'image incorrecte : 0 x 0")) << r.Console;
  // A sub-heap that contains itself ends at the depth bound.
  std::string loop = Heap({{0x300A, std::string(16, '\0')}}, false);
  std::string self = std::string("II") + std::string(4, '\0') + "HEAPCCDR" + std::string(12, '\0');
  Put32(self, 2, 26, false);
  std::string heap(26, '\0');
  // One record: a sub-heap at offset 0 spanning the whole heap.
  Put16(heap, 0, 0, false);
  heap = std::string(2, '\0') + std::string(10, '\0') + std::string(4, '\0');
  Put16(heap, 0, 1, false);
  Put16(heap, 2, 0x300A, false);
  Put32(heap, 4, static_cast<uint32_t>(heap.size()), false);
  Put32(heap, 8, 0, false);
  Put32(heap, 12, 0, false);
  r = ConvertFile("s.crw", self + heap);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Taille d'image incorrecte : 0 x 0")) << r.Console;
  // Raw data record absent: refused, no output.
  c.LowBits = false;
  std::string noRaw = BuildCrw(c);
  const std::size_t at = noRaw.size() - 4 - 10 * 2;
  Put16(noRaw, at, 0x2006, false);
  r = ConvertFile("n.crw", noRaw);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("n.fit"));
}

TEST(CrwCorpus, StrippedFileGivesItsMetadataAndIsRefused) {
  const auto corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  const std::string f = test::ReadFile(corpus / "raw" / "exiftool_CanonRaw.crw");
  const auto r = ConvertFile("c.crw", f);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.Has(" Det=Canon EOS DIGITAL REBEL")) << r.Console;
  EXPECT_TRUE(r.Has(" Obs=Phil Harvey"));
  EXPECT_TRUE(r.Has(" Nph=3152 Npv=2068"));
  EXPECT_TRUE(r.Has("Pas de donn\u00e9es d'image dans le fichier"));
  EXPECT_FALSE(std::filesystem::exists("c.fit"));
}

// dcraw -D -4 reads the same samples from the files written above.
TEST(CrwPeer, DcrawReadsTheSameSamples) {
  if (std::system("command -v dcraw >/dev/null 2>&1") != 0) GTEST_SKIP() << "no dcraw";
  ScratchDir dir;
  for (unsigned table : {0u, 1u, 2u}) {
    for (bool lowBits : {true, false}) {
      CrwFile c;
      c.Table = table;
      c.LowBits = lowBits;
      c.Samples = Smooth(c.Width, c.Height, lowBits ? 4095 : 1023, table + 11);
      test::WriteFile("p.crw", BuildCrw(c));
      ASSERT_EQ(std::system("dcraw -D -4 -c p.crw > p.pgm 2>/dev/null"), 0) << table;
      const std::string pgm = test::ReadFile("p.pgm");
      const std::string head = "P5\n128 32\n65535\n";
      ASSERT_EQ(pgm.substr(0, head.size()), head) << "table " << table;
      std::vector<int64_t> peer;
      for (std::size_t i = head.size(); i + 1 < pgm.size(); i += 2)
        peer.push_back((static_cast<uint8_t>(pgm[i]) << 8) | static_cast<uint8_t>(pgm[i + 1]));
      EXPECT_EQ(peer, std::vector<int64_t>(c.Samples.begin(), c.Samples.end()))
          << "table " << table << " low bits " << lowBits;
    }
  }
}

} // namespace
} // namespace korv
