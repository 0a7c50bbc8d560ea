// Nikon's Huffman-coded raw data (NEF "compressed", lossy and lossless): no
// markers and no byte stuffing; codes from tables built into the camera
// firmware, chosen by the bit depth, by whether the file is lossless, and, for
// the lossy files, switching to a second table at a split row. A symbol's low
// nibble is a bit count and its high nibble a shift: a shifted code carries
// len - shift bits and stands for a difference of magnitude about 2^len.
// Each colour cell of the 2 x 2 mosaic is predicted from its left neighbour;
// the first two columns from the same cells of the row two above.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "readers/tiff/block_feed.h"

namespace korv {

// The six built-in code tables: 16 counts, then the symbols.
enum class NefTable : uint8_t { Lossy12, Split12, Lossless12, Lossy14, Split14, Lossless14, None };

struct NefStreamParams {
  unsigned Bits = 12;           // 12 or 14; other depths have no codes (differences 0)
  bool Lossless = false;
  unsigned SplitRow = 0;        // lossy: row from which the split table holds (0 = never)
  // Starting predictors of the cells: row 0 columns 0, 1; row 1 columns 0, 1.
  std::array<uint16_t, 4> InitialPredictor{};
};

// The table of the first rows, and the one from the split row on.
NefTable NefFirstTable(const NefStreamParams& p);
NefTable NefSplitTable(const NefStreamParams& p);
// Counts (16) and symbols of a built-in table (empty spans for None).
std::span<const uint8_t> NefTableCounts(NefTable t);
std::span<const uint8_t> NefTableSymbols(NefTable t);

class NefDecoderState;

class NefHuffmanDecoder {
public:
  NefHuffmanDecoder();
  ~NefHuffmanDecoder();
  NefHuffmanDecoder(const NefHuffmanDecoder&) = delete;
  NefHuffmanDecoder& operator=(const NefHuffmanDecoder&) = delete;

  void Start(std::span<const uint8_t> stream, const NefStreamParams& p);
  void Start(BlockReadAt read, uint64_t size, const NefStreamParams& p);
  // Decodes the next row: the running predicted values, 16 bits, before any curve.
  void DecodeRow(std::span<uint16_t> out);
  // The first row that needed bits the stream does not hold (rows decoded so far when none).
  bool RanOut() const;
  unsigned FirstShortRow() const;
  unsigned RowsDecoded() const;

private:
  std::unique_ptr<NefDecoderState> s_;
};

} // namespace korv
