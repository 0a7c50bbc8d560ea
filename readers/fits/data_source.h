// Byte source of the FITS data decoders: a fixed block in memory, or a window
// over the input file refilled through a caller-supplied function. Past the end
// every byte reads as 0 and the overrun flag stays set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace korv {

class DataSource {
public:
  // Fills buffer with up to cap bytes; returns the count (0 at the end).
  using RefillFn = std::size_t (*)(void* context, uint8_t* buffer, std::size_t cap);

  // A source over a block held in memory.
  explicit DataSource(std::span<const uint8_t> block) : data_(block.data()), size_(block.size()) {}

  // A source refilled into `window` (which it does not own) by `refill`.
  DataSource(std::span<uint8_t> window, RefillFn refill, void* context)
      : data_(window.data()), window_(window.data()), capacity_(window.size()), refill_(refill),
        context_(context) {}

  uint8_t Next() {
    if (pos_ == size_ && !Refill()) {
      overran_ = true;
      return 0;
    }
    return data_[pos_++];
  }

  // Copies n bytes; the part past the end is zero-filled. Returns the count read.
  std::size_t Read(uint8_t* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      if (pos_ == size_) {
        // Large reads go straight to the caller's buffer.
        if (refill_ && n - done >= capacity_) {
          const std::size_t got = refill_(context_, out + done, n - done);
          consumedBefore_ += got;
          done += got;
          if (got == 0) break;
          continue;
        }
        if (!Refill()) break;
      }
      const std::size_t take = std::min(n - done, size_ - pos_);
      std::memcpy(out + done, data_ + pos_, take);
      pos_ += take;
      done += take;
    }
    if (done < n) {
      std::memset(out + done, 0, n - done);
      overran_ = true;
    }
    return done;
  }

  // True once a read asked for bytes the source does not hold.
  bool Overran() const { return overran_; }
  // True when no byte is left (the next read overruns).
  bool AtEnd() { return pos_ == size_ && !Refill(); }
  // Bytes taken from the source since it was made or restarted.
  int64_t Consumed() const { return static_cast<int64_t>(consumedBefore_ + pos_); }

  // Forgets the buffered bytes (the caller has moved the underlying file).
  void Restart() {
    pos_ = size_ = 0;
    consumedBefore_ = 0;
    overran_ = false;
    ended_ = false;
  }

private:
  bool Refill() {
    if (!refill_ || ended_) return false;
    consumedBefore_ += pos_;
    pos_ = 0;
    size_ = refill_(context_, window_, capacity_);
    data_ = window_;
    if (size_ == 0) ended_ = true;
    return size_ != 0;
  }

  const uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  uint8_t* window_ = nullptr;
  std::size_t capacity_ = 0;
  RefillFn refill_ = nullptr;
  void* context_ = nullptr;
  std::size_t consumedBefore_ = 0;
  bool overran_ = false;
  bool ended_ = false;
};

} // namespace korv
