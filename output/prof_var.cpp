// "PROF-VAR" row encoder.
#include "output/prof_var.h"

namespace korv {

namespace {

constexpr std::size_t MaxRecordLength = 0xFFFF; // 16-bit count of the long records

// Transposes an 8 x 8 bit matrix held in a 64-bit word: bit 8 r + c moves to
// bit 8 c + r. With byte r holding the low (or high) byte of the zig-zag value
// of column r, byte k of the result holds bit k of the eight columns, the first
// column in the least significant bit: one packed byte of plane k.
inline uint64_t TransposeBits(uint64_t x) {
  x = (x & 0xAA55AA55AA55AA55ull) | ((x & 0x00AA00AA00AA00AAull) << 7) |
      ((x >> 7) & 0x00AA00AA00AA00AAull);
  x = (x & 0xCCCC3333CCCC3333ull) | ((x & 0x0000CCCC0000CCCCull) << 14) |
      ((x >> 14) & 0x0000CCCC0000CCCCull);
  x = (x & 0xF0F0F0F00F0F0F0Full) | ((x & 0x00000000F0F0F0F0ull) << 28) |
      ((x >> 28) & 0x00000000F0F0F0F0ull);
  return x;
}

inline void PutLongCount(ByteSink& sink, std::size_t n) {
  sink.Put(static_cast<uint8_t>(n & 0xFF));
  sink.Put(static_cast<uint8_t>(n >> 8));
}

} // namespace

void EncodeProfVarPlane(std::span<const uint8_t> plane, ByteSink& sink) {
  const std::size_t n = plane.size();
  const uint8_t* p = plane.data();
  std::size_t s = 0;
  while (s < n) {
    const uint8_t x = p[s];
    std::size_t length;
    if (s + 1 < n && p[s + 1] == x && (s + 2 >= n || p[s + 2] == x)) {
      std::size_t e = s + 1;
      while (e + 1 < n && p[e + 1] == x && e - s + 1 < MaxRecordLength) ++e;
      length = e - s + 1;
      if (length < 128) {
        sink.Put(static_cast<uint8_t>(length + 128));
      } else {
        sink.Put(128);
        PutLongCount(sink, length);
      }
      sink.Put(x);
    } else {
      // A literal stops at the end of the plane or on the first byte of a triple;
      // the rest of the triple starts the next record.
      std::size_t e = s;
      while (e + 1 < n && !(e + 2 < n && p[e + 1] == p[e] && p[e + 2] == p[e]) &&
             e - s + 1 < MaxRecordLength)
        ++e;
      length = e - s + 1;
      if (length < 128) {
        sink.Put(static_cast<uint8_t>(length));
      } else {
        sink.Put(0);
        PutLongCount(sink, length);
      }
      sink.Put(p + s, length);
    }
    s += length;
  }
}

void EncodeProfVarRow(std::span<const uint16_t> row, uint16_t zeroPlaneCount,
                      ProfVarPredictors& predictors, std::span<uint8_t> scratch,
                      ByteSink& sink) {
  const std::size_t width = row.size();
  const std::size_t n = ProfVarPlaneBytes(width);
  const std::span<uint8_t> zBytes = scratch.first(2 * 8 * n);
  const std::span<uint8_t> planes = scratch.subspan(zBytes.size(), ProfVarPlanes * n);
  // The zig-zag values, padded with zeros to whole groups of eight columns.
  uint16_t* z = reinterpret_cast<uint16_t*>(zBytes.data());

  // Even columns start from the previous row's sample 1, odd ones from its sample 0;
  // every further column from the sample two to its left.
  const uint16_t* v = row.data();
  uint16_t used = 0; // or of all zig-zag values: which planes hold a bit
  if (width > 0) z[0] = ZigZag(static_cast<uint16_t>(v[0] - predictors.PrevOdd));
  if (width > 1) z[1] = ZigZag(static_cast<uint16_t>(v[1] - predictors.PrevEven));
  for (std::size_t i = 2; i < width; ++i) z[i] = ZigZag(static_cast<uint16_t>(v[i] - v[i - 2]));
  for (std::size_t i = width; i < 8 * n; ++i) z[i] = 0;
  for (std::size_t i = 0; i < width; ++i) used = static_cast<uint16_t>(used | z[i]);
  predictors.PrevEven = width > 0 ? v[0] : 0;
  predictors.PrevOdd = width > 1 ? v[1] : 0;

  for (std::size_t g = 0; g < n; ++g) {
    const uint16_t* group = z + 8 * g;
    uint64_t low = 0;
    uint64_t high = 0;
    for (unsigned j = 0; j < 8; ++j) {
      low |= static_cast<uint64_t>(group[j] & 0xFFu) << (8 * j);
      high |= static_cast<uint64_t>(group[j] >> 8) << (8 * j);
    }
    low = TransposeBits(low);
    high = TransposeBits(high);
    for (unsigned k = 0; k < 8; ++k) {
      planes[k * n + g] = static_cast<uint8_t>(low >> (8 * k));
      planes[(k + 8) * n + g] = static_cast<uint8_t>(high >> (8 * k));
    }
  }

  for (unsigned k = 0; k < ProfVarPlanes; ++k) {
    if ((used & (1u << k)) == 0) {
      sink.Put(128);
      PutLongCount(sink, zeroPlaneCount);
      sink.Put(0);
    } else {
      EncodeProfVarPlane(planes.subspan(k * n, n), sink);
    }
  }
}

} // namespace korv
