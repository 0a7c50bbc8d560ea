// Colour reduced to one grey sample with the channel weights of the options
// stage (red, green, blue and a fourth channel).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/image_state.h"

namespace korv {

// r x R + g x V + b x B + a x A computed in extended precision, rounded to
// nearest (ties to even) and clamped to 0..65535; negative sums and NaN give 0.
uint16_t WeightedGreyExtended(const ImageState& st, uint32_t r, uint32_t g, uint32_t b,
                              uint32_t a = 0);

// The same values as WeightedGreyExtended, for the pixels of a whole image.
// A product of a channel below 2^32 and a float weight has at most 56
// significant bits, so the extended sum is exact as long as no partial sum
// needs more bits than the significand holds. When the weights are finite and
// every partial sum of channels below 2^channelBits is a multiple of the
// smallest weight's last bit that stays under 2^52 of those units, the sum is
// just as exact in double, and rounding an exact sum is the same operation in
// either precision. Then pixels whose channels fit take the double path (a
// table of products for 8-bit channels); any other pixel, and every pixel of
// other weights, goes through WeightedGreyExtended.
class GreyWeighting {
public:
  GreyWeighting(const ImageState& st, unsigned channelBits);

  // Whether the double path is taken for channels that fit.
  bool Exact() const { return exact_; }

  // The fourth channel is 0: its product is then an exact zero (its weight
  // being finite on the double path), which leaves the sum as it is.
  uint16_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    if (exact_ && (r | g | b) <= mask_) {
      if (table_) return RoundSum(table_[r] + table_[256 + g] + table_[512 + b]);
      return RoundSum(static_cast<double>(r) * wR_ + static_cast<double>(g) * wV_ +
                      static_cast<double>(b) * wB_);
    }
    return WeightedGreyExtended(st_, r, g, b);
  }
  uint16_t operator()(uint32_t r, uint32_t g, uint32_t b, uint32_t a) const {
    if (exact_ && (r | g | b | a) <= mask_) {
      if (table_)
        return RoundSum(table_[r] + table_[256 + g] + table_[512 + b] + table_[768 + a]);
      return RoundSum(static_cast<double>(r) * wR_ + static_cast<double>(g) * wV_ +
                      static_cast<double>(b) * wB_ + static_cast<double>(a) * wA_);
    }
    return WeightedGreyExtended(st_, r, g, b, a);
  }

  // A row of 8-bit pixels stored blue, green, red (RowBgr) or blue, green,
  // red, fourth (RowBgra): out[c] is the weighting of pixel c, for as many
  // pixels as both spans hold.
  void RowBgr(std::span<const uint8_t> pixels, std::span<uint16_t> out) const;
  void RowBgra(std::span<const uint8_t> pixels, std::span<uint16_t> out) const;

  // An exact sum clamped, then rounded to nearest with ties to even: adding
  // 2^52 to a value in 0..65535 leaves no fraction bits in the significand.
  static uint16_t RoundSum(double sum) {
    if (!(sum > 0.0)) return 0;
    if (sum >= 65535.0) return 65535;
    constexpr double shift = 0x1p52;
    return static_cast<uint16_t>((sum + shift) - shift);
  }

  GreyWeighting(const GreyWeighting&) = delete;
  GreyWeighting& operator=(const GreyWeighting&) = delete;

private:
  void TabulateProducts();
  template <unsigned Step>
  void BgrRow(std::span<const uint8_t> pixels, std::span<uint16_t> out) const;

  const ImageState& st_;
  double wR_, wV_, wB_, wA_;
  uint64_t mask_;
  bool exact_ = false;
  // For channels of at most 8 bits: the 256 products of each weight, in the
  // order red, green, blue, fourth (each exact, as above).
  std::vector<double> products_;
  const double* table_ = nullptr;
  bool small_ = false; // every sum of 8-bit channels is below 2^51 in magnitude
};

} // namespace korv
