// Mars camera compressed streams ("MOC-NONE" and "MOC-PRED-X-5"): a payload cut
// into blocks, each after a 62-byte header (and, from the second on, a separator
// byte), and lines coded as differences modulo 256 through a fixed prefix code
// whose bits go least significant first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "readers/fits/data_source.h"
#include "readers/pds/moc_code_table.h"

namespace korv {

constexpr std::size_t MocHeaderBytes = 62;
constexpr std::size_t MocLengthOffset = 58;  // payload length of the block, 32-bit LE

// Decoding tree of the prefix code: node 1 is the root, nodes are numbered in
// creation order from 2, a link of 0 is absent.
struct MocPrefixTree {
  std::array<std::array<uint16_t, 2>, 512> Child{};
  std::array<uint8_t, 512> Leaf{};
  uint16_t Nodes = 1;  // highest node number in use
};

constexpr MocPrefixTree BuildPrefixTree() {
  MocPrefixTree t{};
  for (unsigned d = 0; d < 256; ++d) {
    const MocCode c = MocCodeTable[d];
    unsigned node = 1;
    for (unsigned k = 0; k < c.Length; ++k) {
      const unsigned bit = (c.Word >> k) & 1u;
      if (t.Child[node][bit] == 0) t.Child[node][bit] = ++t.Nodes;
      node = t.Child[node][bit];
    }
    t.Leaf[node] = static_cast<uint8_t>(d);
  }
  return t;
}

inline constexpr MocPrefixTree MocTree = BuildPrefixTree();

// The code is complete and prefix-free: 255 inner nodes with both links and
// 256 leaves, so a walk from the root always ends on a leaf within 15 bits.
constexpr bool MocTreeIsComplete(const MocPrefixTree& t) {
  if (t.Nodes != 511) return false;
  unsigned inner = 0;
  for (unsigned n = 1; n <= t.Nodes; ++n) {
    const bool a = t.Child[n][0] != 0;
    const bool b = t.Child[n][1] != 0;
    if (a != b) return false;
    if (a) ++inner;
  }
  return inner == 255;
}
static_assert(MocTreeIsComplete(MocTree), "the prefix code must be complete");

class MocStream {
public:
  explicit MocStream(DataSource& src) : src_(src) {}

  // Reads the stream's first 62-byte header, which gives the first block's length.
  void Start();
  // The next payload byte; block headers are skipped on the way.
  uint8_t ReadStreamByte();
  bool AtEnd() { return src_.AtEnd(); }

  // One line of plain bytes.
  void DecodePlainLine(std::span<uint16_t> out);
  // A synchronisation line: bytes up to the marker 202, 240, then plain bytes.
  void DecodeSyncLine(std::span<uint16_t> out);
  // A predicted line: from 0, each sample adds a decoded difference modulo 256.
  void DecodePredictedLine(std::span<uint16_t> out);

private:
  uint8_t NextBit();

  DataSource& src_;
  uint64_t consumed_ = 0;  // stream bytes taken, block headers included
  uint64_t boundary_ = 0;  // where the current block's payload ends
  uint8_t bits_ = 0;
  uint8_t bitsLeft_ = 0;
};

} // namespace korv
