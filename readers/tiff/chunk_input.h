// The input of the stream decoders of this folder: compressed bytes handed over
// in blocks. An empty block means the data have ended.
#pragma once

#include <cstdint>
#include <span>

namespace korv {

class ChunkInput {
public:
  virtual std::span<const uint8_t> NextChunk() = 0;

protected:
  ~ChunkInput() = default;
};

// A memory block served whole, then the end (tests and fuzzers).
class MemoryChunks final : public ChunkInput {
public:
  explicit MemoryChunks(std::span<const uint8_t> data) : data_(data) {}
  std::span<const uint8_t> NextChunk() override {
    const std::span<const uint8_t> d = data_;
    data_ = {};
    return d;
  }

private:
  std::span<const uint8_t> data_;
};

} // namespace korv
