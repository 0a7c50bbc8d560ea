// The per-sample Rice stream announced by COMPRESS = 'RICE_k_m': for each sample
// a unary prefix of q zero bits ended by a 1 (or cut after m + 1 zeros, which
// escapes to a 16-bit absolute sample), then k low bits; u = q * 2^k + bits is a
// zig-zag difference to the running sample. Bits are read most significant
// first and run on across samples and rows without realignment.
#pragma once

#include <cstdint>
#include <span>

#include "readers/fits/data_source.h"

namespace korv {

// Parameters and the bits of the current byte, carried from row to row.
struct RiceStream {
  int K = 0;     // low bits per sample
  int64_t M = 0; // longest prefix that is not an escape
  uint8_t Byte = 0;
  uint8_t BitsLeft = 0;
  bool RanOut = false; // a sample needed bits past the end of the data
};

// Decodes out.size() samples as 16-bit patterns of the signed running sample.
void DecodeRiceRow(DataSource& src, RiceStream& rs, int16_t& predictor, std::span<uint16_t> out);

} // namespace korv
