// Data section of the output file: plain big-endian samples, the two row codes
// staged through OutBytes, and the zero fill that closes the last 2880-byte block.
#include "output/fits_data.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/conversion.h"
#include "core/stop.h"
#include "output/byte_sink.h"
#include "output/output_file.h"
#include "output/prev_pixel.h"
#include "output/prof_var.h"

namespace korv {

namespace {

constexpr std::size_t FitsBlock = 2880;
constexpr std::size_t StagingFlushAt = OutBytesSize - 1; // 30023 pending bytes

void FlushToOutput(void* context, const uint8_t* data, std::size_t n) {
  WriteOutput(*static_cast<Conversion*>(context), data, n);
}

std::span<uint8_t> FloatRowBytes(Conversion& cv) {
  return {reinterpret_cast<uint8_t*>(cv.FloatRow.data()), RowBlockBytes};
}

} // namespace

unsigned BytesPerSample(uint8_t code) {
  switch (code) {
  case 8:
    return 1;
  case 32:
  case 224:
    return 4;
  default:
    return 2;
  }
}

std::size_t EncodePlainRow(std::span<const uint16_t> row, uint8_t code, std::span<uint8_t> out) {
  const std::size_t n = row.size();
  const std::size_t bytes = n * BytesPerSample(code);
  uint8_t* o = out.first(bytes).data();
  const uint16_t* v = row.data();
  switch (code) {
  case 8:
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<uint8_t>(v[i]);
    break;
  case 32:
    // 0..65535 as a signed 32-bit integer: the two high bytes are always 0.
    for (std::size_t i = 0; i < n; ++i) {
      o[4 * i] = 0;
      o[4 * i + 1] = 0;
      o[4 * i + 2] = static_cast<uint8_t>(v[i] >> 8);
      o[4 * i + 3] = static_cast<uint8_t>(v[i]);
    }
    break;
  case 224:
    for (std::size_t i = 0; i < n; ++i) {
      const float f = static_cast<float>(v[i]);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      o[4 * i] = static_cast<uint8_t>(bits >> 24);
      o[4 * i + 1] = static_cast<uint8_t>(bits >> 16);
      o[4 * i + 2] = static_cast<uint8_t>(bits >> 8);
      o[4 * i + 3] = static_cast<uint8_t>(bits);
    }
    break;
  default: {
    // v - 32768 as a signed 16-bit integer: flipping the top bit does it.
    std::size_t i = 0;
#if defined(__SSE2__)
    // Eight samples an operation: bytes swapped by shifts, then the top bit
    // (the low byte of each swapped element) flipped.
    const __m128i top = _mm_set1_epi16(0x0080);
    for (; i + 16 <= n; i += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i + 8));
      const __m128i sa =
          _mm_xor_si128(_mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8)), top);
      const __m128i sb =
          _mm_xor_si128(_mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8)), top);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * i), sa);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * i + 16), sb);
    }
#endif
    for (; i < n; ++i) {
      o[2 * i] = static_cast<uint8_t>((v[i] >> 8) ^ 0x80);
      o[2 * i + 1] = static_cast<uint8_t>(v[i]);
    }
    break;
  }
  }
  return bytes;
}

void WritePlainRow(Conversion& cv, std::span<const uint16_t> row, uint8_t code) {
  const std::span<uint8_t> out = FloatRowBytes(cv);
  const std::size_t bytes = EncodePlainRow(row, code, out);
  WriteOutput(cv, out.data(), bytes);
}

void WritePrevPixelRow(Conversion& cv, std::span<const uint16_t> row) {
  ByteSink sink(cv.OutBytes, StagingFlushAt, FlushToOutput, &cv);
  EncodePrevPixelRow(row, sink);
  sink.Flush();
  cv.State.OutBytesFill = 0;
}

void WriteProfVarRow(Conversion& cv, std::span<const uint16_t> row) {
  ByteSink sink(cv.OutBytes, StagingFlushAt, FlushToOutput, &cv);
  ProfVarPredictors predictors{cv.State.PrevEven, cv.State.PrevOdd};
  EncodeProfVarRow(row, cv.State.ImageWidth, predictors, FloatRowBytes(cv), sink);
  cv.State.PrevEven = predictors.PrevEven;
  cv.State.PrevOdd = predictors.PrevOdd;
  sink.Flush();
  cv.State.OutBytesFill = 0;
}

void PadDataSection(Conversion& cv) {
  static constexpr std::array<uint8_t, FitsBlock> zeros{};
  const int64_t size = cv.Output.Size();
  if (size < 0) {
    Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno));
    Finish(cv, true);
  }
  const std::size_t rest = static_cast<std::size_t>(size % static_cast<int64_t>(FitsBlock));
  if (rest == 0) return;
  SeekOutput(cv, size);
  WriteOutput(cv, zeros.data(), FitsBlock - rest);
}

} // namespace korv
