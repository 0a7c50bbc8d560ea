// Everything one run works on, passed by reference to the driver, the options
// stage, every reader and the output stage. main() allocates it on the heap, so
// the fixed row blocks below never sit on the stack.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/image_state.h"
#include "core/input_file.h"
#include "core/truncation.h"
#include "output/output_file.h"
#include "output/fits_checksum.h"
#include "output/row_spool.h"

namespace korv {

constexpr unsigned ByteBufferSize = 32768;

// State of the buffered byte and bit reader over the input file.
struct ByteReaderState {
  std::array<uint8_t, ByteBufferSize> Buffer{};
  uint32_t Valid = 0;     // bytes in Buffer
  uint32_t Position = 0;  // bytes already taken
  uint16_t BitBuffer = 0;
  uint8_t BitsLeft = 0;
  uint8_t AtEnd = 0;
};

// What a truncated input did not hold (see core/truncation.h).
struct Truncation {
  uint64_t Missing = 0;
  uint64_t Total = 0;
  MissingUnit Unit = MissingUnit::Rows;
};

struct Conversion {
  ImageState State;

  // Raw process arguments, [0] being the program path.
  std::vector<std::string> RawArgs;
  uint16_t ArgCountKept = 0;

  std::ostream* Console = nullptr;
  InputFile Input;
  ByteReaderState Reader;
  OutputFile Output;
  RowSpool Spool;     // output rows waiting for their place in the file
  DataChecksum Checksum;  // sum of the data written so far (plain FITS)
  int ExitStatus = 1;  // 0 for a run that converted (3: from a truncated input) or had no arguments
  Truncation Truncated;

  // Fixed row blocks (120000 bytes each, and the output staging buffers).
  alignas(8) std::array<uint16_t, RowBlockBytes / 2> RowBuffer{};
  alignas(8) std::array<uint16_t, RowBlockBytes / 2> BinnedRow{};
  alignas(8) std::array<uint32_t, RowBlockBytes / 4> FloatRow{};
  std::array<uint8_t, OutBytesSize> OutBytes{};
  std::array<uint8_t, PlaneBytesSize> PlaneBytes{};

  // The current input row: exactly ImageWidth samples.
  std::span<uint16_t> Row() { return {RowBuffer.data(), State.ImageWidth}; }
  // The row block as bytes, for readers that decode into it as scratch.
  std::span<uint8_t> RowBytes() {
    return {reinterpret_cast<uint8_t*>(RowBuffer.data()), RowBlockBytes};
  }
};

// Writes one console line (the text and a line end).
void Say(Conversion& cv, std::string_view line);

} // namespace korv
