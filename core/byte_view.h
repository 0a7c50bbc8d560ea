// Checked cursor over a block of file bytes read whole (a TIFF directory, a FITS
// block, a label). Every read has an explicit or default byte order; a read that
// does not fit returns 0, leaves the cursor at the end and sets the sticky
// Overran flag, which the caller tests at its checkpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

enum class ByteOrder : uint8_t { Little, Big };

class ByteView {
public:
  ByteView() = default;
  explicit ByteView(std::span<const uint8_t> data, ByteOrder order = ByteOrder::Little)
      : data_(data), order_(order) {}

  ByteOrder Order() const { return order_; }
  void SetOrder(ByteOrder order) { order_ = order; }

  std::size_t Size() const { return data_.size(); }
  std::size_t Position() const { return pos_; }
  std::size_t Remaining() const { return data_.size() - pos_; }
  bool Overran() const { return overran_; }
  // True when n more bytes can be read from the cursor.
  bool Has(uint64_t n) const { return n <= Remaining(); }

  // Moves the cursor; a position past the end sets Overran and parks at the end.
  bool Seek(uint64_t position) {
    if (position > data_.size()) {
      pos_ = data_.size();
      overran_ = true;
      return false;
    }
    pos_ = static_cast<std::size_t>(position);
    return true;
  }
  bool Skip(uint64_t n) {
    if (!Has(n)) return Seek(static_cast<uint64_t>(data_.size()) + 1);
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  uint8_t U8() { return static_cast<uint8_t>(Take(1, ByteOrder::Little)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2, order_)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4, order_)); }
  uint64_t U64() { return Take(8, order_); }
  uint16_t U16LE() { return static_cast<uint16_t>(Take(2, ByteOrder::Little)); }
  uint16_t U16BE() { return static_cast<uint16_t>(Take(2, ByteOrder::Big)); }
  uint32_t U32LE() { return static_cast<uint32_t>(Take(4, ByteOrder::Little)); }
  uint32_t U32BE() { return static_cast<uint32_t>(Take(4, ByteOrder::Big)); }
  uint64_t U64LE() { return Take(8, ByteOrder::Little); }
  uint64_t U64BE() { return Take(8, ByteOrder::Big); }

  // Reads at an absolute offset without moving the cursor (0 and Overran when
  // the bytes are not all there).
  uint16_t U16At(uint64_t offset) { return static_cast<uint16_t>(PeekAt(offset, 2, order_)); }
  uint32_t U32At(uint64_t offset) { return static_cast<uint32_t>(PeekAt(offset, 4, order_)); }
  uint8_t U8At(uint64_t offset) {
    return static_cast<uint8_t>(PeekAt(offset, 1, ByteOrder::Little));
  }

  // The next n bytes as a span (empty and Overran when they are not all there).
  std::span<const uint8_t> Bytes(uint64_t n) {
    if (!Has(n)) {
      Seek(static_cast<uint64_t>(data_.size()) + 1);
      return {};
    }
    const std::span<const uint8_t> s = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return s;
  }

private:
  uint64_t Assemble(std::size_t at, unsigned n, ByteOrder order) const {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
      const uint64_t b = data_[at + i];
      if (order == ByteOrder::Little)
        v |= b << (8 * i);
      else
        v = (v << 8) | b;
    }
    return v;
  }
  uint64_t Take(unsigned n, ByteOrder order) {
    if (!Has(n)) {
      pos_ = data_.size();
      overran_ = true;
      return 0;
    }
    const uint64_t v = Assemble(pos_, n, order);
    pos_ += n;
    return v;
  }
  uint64_t PeekAt(uint64_t offset, unsigned n, ByteOrder order) {
    if (offset > data_.size() || n > data_.size() - offset) {
      overran_ = true;
      return 0;
    }
    return Assemble(static_cast<std::size_t>(offset), n, order);
  }

  std::span<const uint8_t> data_;
  std::size_t pos_ = 0;
  bool overran_ = false;
  ByteOrder order_ = ByteOrder::Little;
};

} // namespace korv
