// Olympus compressed raw data (ORF files whose 16-bit samples take less room
// than 16 bits): an adaptive code without tables. The data start 7 bytes after
// the strip offset, have no markers and no byte stuffing, and run on across
// rows. Each sample costs 3 bits (a sign and the two low bits of the
// residual), a count of leading zeros (12 zeros: an escape followed by the
// high part in 16 - n bits, its last bit dropped) and n low bits, n adapting
// to the recent magnitudes of its colour column. The residual is added to a
// prediction from the cells of the same colour to the left, above and above
// left (two rows and two columns away), as in LOCO-I.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "readers/tiff/block_feed.h"

namespace korv {

// Bytes before the coded data.
constexpr unsigned OlympusDataSkip = 7;

class OlympusDecoderState;

class OlympusDecoder {
public:
  OlympusDecoder();
  ~OlympusDecoder();
  OlympusDecoder(const OlympusDecoder&) = delete;
  OlympusDecoder& operator=(const OlympusDecoder&) = delete;

  // The stream from its first coded byte (after the 7 skipped ones); rows of
  // `width` samples. The two rows above are kept by the decoder.
  void Start(std::span<const uint8_t> stream, unsigned width);
  void Start(BlockReadAt read, uint64_t size, unsigned width);
  // Decodes the next row (out.size() must be the width given to Start).
  void DecodeRow(std::span<uint16_t> out);
  bool RanOut() const;
  unsigned FirstShortRow() const;

private:
  std::unique_ptr<OlympusDecoderState> s_;
};

} // namespace korv
