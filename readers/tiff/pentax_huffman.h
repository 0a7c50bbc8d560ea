// Pentax compressed raw data (compression 65535). The camera stores its
// Huffman code in maker-note tag 0x220: a word w (16-bit words in the file's
// byte order) whose low four bits give,
// with 12 added, the number of codes d; 12 bytes; d 16-bit code values, each
// a code left-aligned in 12 bits; then d code lengths, one byte each. Code c
// stands for difference category c, followed by c extra bits as in lossless
// JPEG. The stream has no markers and no byte stuffing and runs on across
// rows; each colour cell of the 2 x 2 mosaic is predicted from its left
// neighbour, the first two columns from the same cells of the row two above
// (starting at 0).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "readers/tiff/block_feed.h"

namespace korv {

constexpr unsigned PentaxMaxCodes = 16;
// Bytes of the table data the decoder reads (12 + 2 + 3 x 16 at most).
constexpr std::size_t PentaxTableBytes = 2 + 12 + 3 * PentaxMaxCodes;

struct PentaxCodeTable {
  unsigned Count = 0;                          // d
  std::array<uint16_t, PentaxMaxCodes> Code{}; // as stored
  std::array<uint8_t, PentaxMaxCodes> Length{};
  // For each value of the next 12 bits: code length << 8 | category. Values no
  // code covers stay 0: no bit taken, a difference of 0, the data marked damaged.
  std::array<uint16_t, 4096> Lookup{};
  unsigned ShortestLength = 0;                 // of the codes that fill the lookup
};

// Reads the table from the bytes of tag 0x220, its words in the byte order of
// the file. A code whose length is not 1 to 12 or whose range passes the end of
// the 12-bit space fills nothing; later codes overwrite earlier ones where they
// overlap. False when no code fills anything (nothing to decode with).
bool ReadPentaxCodeTable(std::span<const uint8_t> bytes, bool bigEndian, PentaxCodeTable& table);

class PentaxDecoderState;

class PentaxHuffmanDecoder {
public:
  PentaxHuffmanDecoder();
  ~PentaxHuffmanDecoder();
  PentaxHuffmanDecoder(const PentaxHuffmanDecoder&) = delete;
  PentaxHuffmanDecoder& operator=(const PentaxHuffmanDecoder&) = delete;

  void Start(std::span<const uint8_t> stream, const PentaxCodeTable& table);
  void Start(BlockReadAt read, uint64_t size, const PentaxCodeTable& table);
  // Decodes the next row: 16-bit running values.
  void DecodeRow(std::span<uint16_t> out);
  // Whether a row needed bits the stream does not hold, or met bits no code
  // stands for (damaged data), and the first such row (the rows decoded so far
  // when none did).
  bool RanOut() const;
  unsigned FirstShortRow() const;

private:
  std::unique_ptr<PentaxDecoderState> s_;
};

} // namespace korv
