// The planetary sample decoders on hand-built streams: the first-difference
// Huffman tree against the archive decompressor's published codes, the Mars
// camera prefix code and block framing, and the compiled tables against the
// published ones.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "readers/fits/data_source.h"
#include "readers/pds/huffman_first_difference.h"
#include "readers/pds/moc_stream.h"
#include "readers/pds/pds_samples.h"

namespace korv {
namespace {

std::array<uint32_t, HuffmanHistogramEntries> Histogram(const std::map<int, uint32_t>& counts) {
  std::array<uint32_t, HuffmanHistogramEntries> h{};
  for (const auto& [d, n] : counts) h[static_cast<std::size_t>(d + 255)] = n;
  return h;
}

// Packs '0'/'1' text most significant bit first after a first byte.
std::vector<uint8_t> Record(uint8_t first, const std::string& bits) {
  std::vector<uint8_t> r = {first};
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    uint8_t b = 0;
    for (std::size_t k = 0; k < 8; ++k)
      b = static_cast<uint8_t>(b << 1 | (i + k < bits.size() && bits[i + k] == '1'));
    r.push_back(b);
  }
  return r;
}

struct CodeVector {
  std::map<int, uint32_t> Counts;
  std::map<int, std::string> Codes;
};

// The worked examples of the published decompressor, codes read from the root.
const std::vector<CodeVector> PublishedCodes = {
    {{{-1, 1}, {0, 1}, {1, 1}, {2, 1}}, {{1, "00"}, {2, "01"}, {-1, "10"}, {0, "11"}}},
    {{{-5, 3}, {0, 6}, {5, 3}}, {{0, "1"}, {-5, "00"}, {5, "01"}}},
    {{{-2, 2}, {-1, 1}, {0, 1}, {1, 2}, {2, 4}},
     {{2, "0"}, {1, "10"}, {-2, "111"}, {-1, "1100"}, {0, "1101"}}},
    {{{-4, 5}, {-3, 10}, {-2, 40}, {-1, 95}, {0, 100}, {1, 90}, {2, 30}, {3, 5}, {4, 5}},
     {{1, "00"},
      {-1, "10"},
      {0, "11"},
      {-2, "010"},
      {2, "0111"},
      {-3, "01100"},
      {4, "011010"},
      {-4, "0110110"},
      {3, "0110111"}}},
};

TEST(HuffmanFirstDifference, TreeGivesThePublishedCodes) {
  for (std::size_t v = 0; v < PublishedCodes.size(); ++v) {
    SCOPED_TRACE("vector " + std::to_string(v));
    const auto h = Histogram(PublishedCodes[v].Counts);
    HuffmanTree tree;
    ASSERT_TRUE(BuildHuffmanTree(h, tree));
    EXPECT_EQ(tree.LeafCount, PublishedCodes[v].Counts.size());
    EXPECT_EQ(tree.NodeCount, 2 * PublishedCodes[v].Counts.size() - 1);
    for (const auto& [d, code] : PublishedCodes[v].Codes) {
      SCOPED_TRACE("difference " + std::to_string(d));
      EXPECT_EQ(HuffmanCodeOf(tree, d), code);
    }
  }
}

TEST(HuffmanFirstDifference, LinesDecodeAsPreviousMinusDifference) {
  HuffmanTree tree;
  ASSERT_TRUE(BuildHuffmanTree(Histogram(PublishedCodes[0].Counts), tree));
  // +1, +2, -1, 0: 100, 99, 97, 98, 98.
  const std::vector<uint8_t> rec = Record(100, "00011011");
  std::vector<uint16_t> out(5);
  EXPECT_EQ(DecodeHuffmanLine(tree, rec, 0, out), 5u);
  EXPECT_EQ(out, (std::vector<uint16_t>{100, 99, 97, 98, 98}));

  // Differences wrap modulo 256; samples before the prefix are not stored.
  const std::vector<uint8_t> low = Record(0, "0101");
  std::vector<uint16_t> two(2);
  EXPECT_EQ(DecodeHuffmanLine(tree, low, 1, two), 2u);
  EXPECT_EQ(two, (std::vector<uint16_t>{254, 252}));

  // A record that runs out gives fewer samples; a full line ignores the rest.
  std::vector<uint16_t> many(10, 7);
  EXPECT_EQ(DecodeHuffmanLine(tree, rec, 0, many), 5u);
  std::vector<uint16_t> three(3);
  EXPECT_EQ(DecodeHuffmanLine(tree, rec, 0, three), 3u);
  EXPECT_EQ(DecodeHuffmanLine(tree, {}, 0, three), 0u);
}

TEST(HuffmanFirstDifference, DegenerateHistograms) {
  HuffmanTree tree;
  EXPECT_FALSE(BuildHuffmanTree(Histogram({}), tree));
  std::vector<uint16_t> out(4);
  EXPECT_EQ(DecodeHuffmanLine(tree, Record(5, ""), 0, out), 0u);

  // One difference only: a code of no bits, the whole line follows from the first sample.
  ASSERT_TRUE(BuildHuffmanTree(Histogram({{3, 9}}), tree));
  EXPECT_EQ(tree.LeafCount, 1u);
  EXPECT_EQ(DecodeHuffmanLine(tree, Record(10, ""), 0, out), 4u);
  EXPECT_EQ(out, (std::vector<uint16_t>{10, 7, 4, 1}));
}

TEST(HuffmanFirstDifference, RandomLinesRoundTrip) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<uint8_t> line(300);
    int v = 128;
    for (auto& s : line) {
      v = std::clamp(v + static_cast<int>(rng() % 21) - 10, 0, 255);
      s = static_cast<uint8_t>(v);
    }
    std::map<int, uint32_t> counts;
    for (std::size_t i = 1; i < line.size(); ++i) ++counts[line[i - 1] - line[i]];
    HuffmanTree tree;
    ASSERT_TRUE(BuildHuffmanTree(Histogram(counts), tree));
    std::string bits;
    for (std::size_t i = 1; i < line.size(); ++i) bits += HuffmanCodeOf(tree, line[i - 1] - line[i]);
    std::vector<uint16_t> out(line.size());
    ASSERT_EQ(DecodeHuffmanLine(tree, Record(line[0], bits), 0, out), line.size());
    for (std::size_t i = 0; i < line.size(); ++i) ASSERT_EQ(out[i], line[i]) << i;
  }
}

// Sends the code of each difference, least significant bit first.
std::vector<uint8_t> MocBits(const std::vector<uint8_t>& differences) {
  std::vector<uint8_t> bytes;
  unsigned n = 0;
  for (uint8_t d : differences) {
    const MocCode c = MocCodeTable[d];
    for (unsigned k = 0; k < c.Length; ++k, ++n) {
      if (n % 8 == 0) bytes.push_back(0);
      bytes.back() = static_cast<uint8_t>(bytes.back() | (((c.Word >> k) & 1u) << (n % 8)));
    }
  }
  return bytes;
}

std::vector<uint8_t> MocHeader(uint32_t length) {
  std::vector<uint8_t> h(MocHeaderBytes, 0xEE);
  for (unsigned i = 0; i < 4; ++i) h[MocLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
  return h;
}

TEST(MocPrefixCode, TreeDecodesTheTableCodes) {
  // Bits as sent: 0001 is difference 0, 0010 is 255 (-1).
  auto decode = [](std::vector<uint8_t> payload, std::size_t samples) {
    std::vector<uint8_t> stream = MocHeader(static_cast<uint32_t>(payload.size()));
    stream.insert(stream.end(), payload.begin(), payload.end());
    DataSource src(stream);
    MocStream moc(src);
    moc.Start();
    std::vector<uint16_t> out(samples);
    moc.DecodePredictedLine(out);
    return out;
  };
  EXPECT_EQ(decode({0b1000}, 1), (std::vector<uint16_t>{0}));
  EXPECT_EQ(decode({0b0100}, 1), (std::vector<uint16_t>{255}));

  std::vector<uint8_t> all(256);
  for (unsigned d = 0; d < 256; ++d) all[d] = static_cast<uint8_t>(d);
  const std::vector<uint16_t> out = decode(MocBits(all), 256);
  uint8_t running = 0;
  for (unsigned d = 0; d < 256; ++d) {
    running = static_cast<uint8_t>(running + d);
    ASSERT_EQ(out[d], running) << d;
  }
}

TEST(MocStream, BlocksJoinSeamlesslyAndSyncLinesFindTheirMarker) {
  // A first block of 3 bytes, then a separator and a header of 63 bytes in all.
  std::vector<uint8_t> s = MocHeader(3);
  s.insert(s.end(), {1, 2, 3});
  s.push_back(0x55);
  const std::vector<uint8_t> h2 = MocHeader(100);
  s.insert(s.end(), h2.begin(), h2.end());
  s.insert(s.end(), {9, 202, 240, 4, 5, 6, 7});
  DataSource src(s);
  MocStream moc(src);
  moc.Start();
  std::vector<uint16_t> line(5);
  moc.DecodePlainLine(line);
  EXPECT_EQ(line, (std::vector<uint16_t>{1, 2, 3, 9, 202}));
  std::vector<uint16_t> sync(2);
  // The marker was partly taken by the line before: the search begins anew.
  std::vector<uint8_t> t = MocHeader(20);
  t.insert(t.end(), {8, 202, 7, 202, 240, 11, 12});
  DataSource src2(t);
  MocStream moc2(src2);
  moc2.Start();
  moc2.DecodeSyncLine(sync);
  EXPECT_EQ(sync, (std::vector<uint16_t>{11, 12}));
  // A stream without a marker ends the search at its end, with zeros.
  std::vector<uint8_t> u = MocHeader(5);
  u.insert(u.end(), {1, 2, 3});
  DataSource src3(u);
  MocStream moc3(src3);
  moc3.Start();
  moc3.DecodeSyncLine(sync);
  EXPECT_EQ(sync, (std::vector<uint16_t>{0, 0}));
}

TEST(PdsSamples, SquareRootAndEbcdic) {
  const std::vector<std::pair<int, int>> roots = {{0, 0},     {23, 23},   {24, 25},   {43, 63},
                                                  {44, 67},   {89, 247},  {90, 255},  {184, 1007},
                                                  {185, 1023}, {209, 1407}, {210, 1439}, {255, 2879}};
  for (const auto& [b, v] : roots) EXPECT_EQ(ExpandSquareRoot(static_cast<uint8_t>(b)), v) << b;
  const std::vector<std::pair<int, char>> letters = {
      {64, ' '}, {75, '.'}, {126, '='}, {125, '\''}, {193, 'A'}, {233, 'Z'}, {129, 'a'}, {240, '0'},
      {249, '9'}, {0, ' '}, {74, ' '}, {255, ' '}};
  for (const auto& [e, a] : letters) {
    uint8_t b = static_cast<uint8_t>(e);
    EbcdicToAscii(b);
    EXPECT_EQ(b, static_cast<uint8_t>(a)) << e;
  }
}

// The compiled tables hold exactly the published rows.
std::vector<std::vector<std::string>> Csv(const std::string& name) {
  std::ifstream f(std::string(KORV_SOURCE_DIR) + "/../shared/data/" + name);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(f, line);
  while (std::getline(f, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ',')) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

TEST(PdsSamples, CompiledTablesMatchThePublishedOnes) {
  const auto moc = Csv("moc_code.csv");
  const auto ebcdic = Csv("ebcdic.csv");
  if (moc.empty() || ebcdic.empty()) GTEST_SKIP() << "published tables not at hand";
  ASSERT_EQ(moc.size(), 256u);
  for (const auto& r : moc) {
    const MocCode c = MocCodeTable[std::stoul(r[0])];
    EXPECT_EQ(c.Length, std::stoul(r[1])) << r[0];
    EXPECT_EQ(c.Word, std::stoul(r[3], nullptr, 16)) << r[0];
  }
  std::array<int, 256> expected;
  expected.fill(32);
  for (const auto& r : ebcdic) expected[std::stoul(r[0])] = std::stoi(r[1]);
  for (unsigned b = 0; b < 256; ++b) EXPECT_EQ(EbcdicTable[b], expected[b]) << b;
}

} // namespace
} // namespace korv
