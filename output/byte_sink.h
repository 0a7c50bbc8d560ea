// Staging of encoded bytes: a fixed buffer that hands its content to a flush
// routine once a threshold is reached, so that encoders emit byte by byte and
// the file still receives large writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace korv {

class ByteSink {
public:
  // Receives the staged bytes; it must consume all of them (or not return).
  using FlushRoutine = void (*)(void* context, const uint8_t* data, std::size_t n);

  // Before a byte is put, the staged bytes are flushed when `flushAt` or more are
  // pending (a threshold above the buffer size is lowered to it). The buffer must
  // not be empty.
  ByteSink(std::span<uint8_t> buffer, std::size_t flushAt, FlushRoutine flush, void* context)
      : buffer_(buffer),
        flushAt_(flushAt == 0 ? 1 : flushAt < buffer.size() ? flushAt : buffer.size()),
        flush_(flush), context_(context) {}

  void Put(uint8_t b) {
    if (fill_ >= flushAt_) Flush();
    buffer_[fill_++] = b;
  }

  void Put(const uint8_t* data, std::size_t n) {
    while (n > 0) {
      if (fill_ >= flushAt_) Flush();
      std::size_t k = flushAt_ - fill_;
      if (k > n) k = n;
      std::memcpy(buffer_.data() + fill_, data, k);
      fill_ += k;
      data += k;
      n -= k;
    }
  }

  void Flush() {
    if (fill_ == 0) return;
    const std::size_t n = fill_;
    fill_ = 0;
    flush_(context_, buffer_.data(), n);
  }

  std::size_t Pending() const { return fill_; }

private:
  std::span<uint8_t> buffer_;
  std::size_t flushAt_;
  std::size_t fill_ = 0;
  FlushRoutine flush_;
  void* context_;
};

} // namespace korv
