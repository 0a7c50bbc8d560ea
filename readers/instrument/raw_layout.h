// Layout of a headerless or fixed-header sample matrix, shared by the raw
// binary reader and the SER header analysis that fills part of it.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

// Sample types: 1 unsigned 8-bit, 2 unsigned 16-bit, -2 signed 16-bit, 4 signed
// 32-bit, -4 32-bit IEEE float, 13 the float images of "plu" files.
constexpr int16_t RawFloatImage = 13;

// Colour arrangement of the samples of one pixel.
enum class RawColour : uint8_t { Mono, Bayer, Rgb, Bgr };

struct RawLayout {
  int64_t DataOffset = 0;     // byte offset of the first sample
  uint64_t Width = 0;         // samples per row; 0 = unknown
  uint64_t Height = 0;        // rows; 0 = unknown
  int16_t SampleType = 0;     // 0 = not set by the variant
  bool SwapBytes = false;     // samples are big-endian
  uint8_t Shift = 0;          // right shift of 8- and 16-bit samples
  uint64_t StoredRowLength = 0; // samples per stored row when larger than Width
  RawColour Colour = RawColour::Mono;
  uint64_t FrameRows = 0;     // rows of one video frame (colour-filter phase restarts)
};

// Bytes of one stored sample (a "plu" float counts 4).
inline unsigned RawSampleBytes(int16_t type) {
  if (type == RawFloatImage) return 4;
  return type < 0 ? static_cast<unsigned>(-type) : static_cast<unsigned>(type);
}

// Channels stored per pixel.
inline unsigned RawPlanes(const RawLayout& l) {
  return l.Colour == RawColour::Rgb || l.Colour == RawColour::Bgr ? 3u : 1u;
}

// Reads the SER video header and its trailer of frame time stamps into the
// layout and the metadata; chooses the frame the command line asks for, or the
// whole video as one tall image. Stops on a malformed header.
void AnalyseSer(Conversion& cv, RawLayout& layout);

// Julian date of a SER time stamp (100-ns ticks since 0001-01-01 00:00 UTC,
// proleptic Gregorian; the two top bits are flags and ignored). 0 gives 0.
double SerStampToJulian(uint64_t stamp);

} // namespace korv
