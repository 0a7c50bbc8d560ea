// First-difference Huffman code of the Voyager and Viking compressed images:
// the tree is rebuilt from the encoding histogram stored in the file (counts of
// each difference previous - current, -255 .. +255) exactly as the archive's
// own decompressor builds it, and each line record is walked bit by bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace korv {

constexpr std::size_t HuffmanHistogramEntries = 511;
constexpr std::size_t HuffmanHistogramBytes = HuffmanHistogramEntries * 4;

struct HuffmanTree {
  // Nodes 0..511 are the leaves (slot i holds value i + 1, i.e. the difference
  // i - 255 plus 256); joined nodes follow. Leaves have no children (-1).
  static constexpr std::size_t MaxNodes = 1024;
  std::array<int16_t, MaxNodes> Zero{};
  std::array<int16_t, MaxNodes> One{};
  std::array<uint16_t, MaxNodes> Value{};
  int16_t Root = -1;
  uint16_t LeafCount = 0;  // non-zero counts
  uint16_t NodeCount = 0;  // nodes of the finished tree (2 x leaves - 1)

  bool IsLeaf(int16_t n) const { return Zero[static_cast<std::size_t>(n)] < 0; }
};

// Builds the tree from the 511 counts. False when no count is non-zero (there
// is then no code at all). A single non-zero count gives a tree that is one
// leaf: its difference then takes no bits.
bool BuildHuffmanTree(std::span<const uint32_t, HuffmanHistogramEntries> counts,
                      HuffmanTree& tree);

// The code of one difference as '0'/'1' characters read from the root; empty
// when the difference has no leaf (or is the lone leaf).
std::string HuffmanCodeOf(const HuffmanTree& tree, int difference);

// Decodes one line record: its first byte is the first sample, each further
// sample is the previous one minus the next decoded difference (modulo 256),
// bits taken most significant first. The first `skip` samples are decoded but
// not stored; then out is filled from its start. Returns the samples stored,
// fewer than out.size() when the record runs out first.
std::size_t DecodeHuffmanLine(const HuffmanTree& tree, std::span<const uint8_t> record,
                              std::size_t skip, std::span<uint16_t> out);

} // namespace korv
