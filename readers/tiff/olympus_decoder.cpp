#include "readers/tiff/olympus_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "readers/tiff/msb_bit_reader.h"

namespace korv {

namespace {

// Adaptive state of one colour column (even or odd columns) within a row.
struct Carry {
  int32_t Magnitude = 0;  // last coded magnitude
  int32_t Bias = 0;       // running mean of the residuals
  int32_t QuietRun = 0;   // samples since the magnitude was above 16
};

int32_t Predict(int32_t w, int32_t n, int32_t nw) {
  if ((w < nw && nw < n) || (n < nw && nw < w)) {
    if (std::abs(w - nw) > 32 || std::abs(n - nw) > 32) return w + n - nw;
    return (w + n) >> 1;
  }
  return std::abs(w - nw) > std::abs(n - nw) ? w : n;
}

} // namespace

class OlympusDecoderState {
public:
  MsbBitReader bits;
  unsigned width = 0;
  // Rows r-2 and r-1, by parity of the row.
  std::vector<uint16_t> above[2];
  unsigned row = 0;
  bool shortSeen = false;
  unsigned firstShort = 0;

  void Begin(unsigned w) {
    width = w;
    above[0].assign(w, 0);
    above[1].assign(w, 0);
  }

  int32_t Residual(Carry& c) {
    const int i = c.QuietRun < 3 ? 2 : 0;
    int nbits = 2 + i;
    while ((static_cast<uint16_t>(c.Magnitude) >> (nbits + i)) != 0) ++nbits;
    const uint32_t head = bits.Take(3);
    const int32_t low = static_cast<int32_t>(head & 3);
    const int32_t sign = (head & 4) ? -1 : 0;
    // Leading zeros of the next 12 bits, the 1 after them taken too.
    const uint32_t peek = bits.Peek(12);
    int32_t high = 0;
    if (peek == 0) {
      bits.Skip(12);
      high = static_cast<int32_t>(bits.Take(static_cast<unsigned>(16 - nbits)) >> 1);
    } else {
      high = __builtin_clz(peek) - 20;
      bits.Skip(static_cast<unsigned>(high) + 1);
    }
    c.Magnitude = (high << nbits) | static_cast<int32_t>(bits.Take(static_cast<unsigned>(nbits)));
    const int32_t diff = (c.Magnitude ^ sign) + c.Bias;
    c.Bias = (diff * 3 + c.Bias) >> 5;
    c.QuietRun = c.Magnitude > 16 ? 0 : c.QuietRun + 1;
    return diff * 4 + low;
  }

  void Row(std::span<uint16_t> out) {
    Carry carry[2];
    // The row two above has the same parity; it is overwritten by this one.
    std::vector<uint16_t>& up = above[row & 1];
    const bool top = row < 2;
    const std::size_t n = std::min<std::size_t>(out.size(), width);
    for (std::size_t col = 0; col < n; ++col) {
      const int32_t r = Residual(carry[col & 1]);
      int32_t pred = 0;
      if (col >= 2 && !top) {
        pred = Predict(out[col - 2], up[col], up[col - 2]);
      } else if (col >= 2) {
        pred = out[col - 2];
      } else if (!top) {
        pred = up[col];
      }
      out[col] = static_cast<uint16_t>(pred + r);
    }
    std::copy_n(out.begin(), n, up.begin());
    if (bits.PastEnd() && !shortSeen) {
      shortSeen = true;
      firstShort = row;
    }
    ++row;
  }
};

OlympusDecoder::OlympusDecoder() : s_(std::make_unique<OlympusDecoderState>()) {}
OlympusDecoder::~OlympusDecoder() = default;

void OlympusDecoder::Start(std::span<const uint8_t> stream, unsigned width) {
  s_ = std::make_unique<OlympusDecoderState>();
  s_->bits.Feed().UseMemory(stream);
  s_->Begin(width);
}

void OlympusDecoder::Start(BlockReadAt read, uint64_t size, unsigned width) {
  s_ = std::make_unique<OlympusDecoderState>();
  s_->bits.Feed().UseReader(std::move(read), size, 65536);
  s_->Begin(width);
}

void OlympusDecoder::DecodeRow(std::span<uint16_t> out) { s_->Row(out); }
bool OlympusDecoder::RanOut() const { return s_->shortSeen; }
unsigned OlympusDecoder::FirstShortRow() const { return s_->shortSeen ? s_->firstShort : s_->row; }

} // namespace korv
