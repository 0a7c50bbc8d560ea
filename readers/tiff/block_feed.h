// Bytes of a compressed stream for the bit readers of the raw decoders: from
// a span held by the caller, or from positioned reads in blocks of a chosen
// size. Reads past the end give nothing (Next returns false); a short read
// ends the stream there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

namespace korv {

// Copies up to out.size() bytes from `offset` of the stream; returns the count.
using BlockReadAt = std::function<std::size_t(uint64_t offset, std::span<uint8_t> out)>;

// Bytes of the stream, from memory or in blocks read on demand; reads past the
// end give nothing (Next returns false).
class BlockFeed {
public:
  void UseMemory(std::span<const uint8_t> bytes) {
    data_ = bytes.data();
    len_ = bytes.size();
    size_ = bytes.size();
    start_ = 0;
    idx_ = 0;
    read_ = nullptr;
  }
  void UseReader(BlockReadAt read, uint64_t size, std::size_t blockBytes) {
    blockBytes_ = blockBytes < 64 ? 64 : blockBytes;
    reader_ = std::move(read);
    read_ = &reader_;
    size_ = size;
    block_.assign(blockBytes_, 0);
    Load(0);
  }
  uint64_t Size() const { return size_; }
  uint64_t Pos() const { return start_ + idx_; }
  bool AtEnd() const { return Pos() >= size_; }

  void Seek(uint64_t pos) {
    if (pos > size_) pos = size_;
    if (read_ == nullptr || (pos >= start_ && pos <= start_ + len_)) {
      if (read_ == nullptr) {
        idx_ = static_cast<std::size_t>(pos);
      } else {
        idx_ = static_cast<std::size_t>(pos - start_);
      }
      return;
    }
    Load(pos);
  }

  bool Next(uint8_t& b) {
    if (idx_ < len_) {
      b = data_[idx_++];
      return true;
    }
    if (read_ == nullptr || start_ + len_ >= size_) return false;
    Load(start_ + len_);
    if (idx_ >= len_) return false;
    b = data_[idx_++];
    return true;
  }
  // The byte at the cursor without taking it.
  bool Peek(uint8_t& b) {
    if (!Next(b)) return false;
    --idx_;
    return true;
  }
  uint16_t Word() {
    uint8_t a = 0, b = 0;
    Next(a);
    Next(b);
    return static_cast<uint16_t>(a << 8 | b);
  }

  // Fast path for the bit reader: direct access to the current block.
  const uint8_t* data_ = nullptr;
  std::size_t len_ = 0;
  std::size_t idx_ = 0;

private:
  void Load(uint64_t pos) {
    start_ = pos;
    idx_ = 0;
    len_ = 0;
    data_ = block_.data();
    if (pos >= size_) return;
    const uint64_t want64 = size_ - pos < blockBytes_ ? size_ - pos : blockBytes_;
    const std::size_t got = (*read_)(pos, std::span<uint8_t>(block_.data(), static_cast<std::size_t>(want64)));
    len_ = got < want64 ? got : static_cast<std::size_t>(want64);
    // A short read means the stream ends there.
    if (len_ < want64) size_ = pos + len_;
  }

  BlockReadAt reader_;
  BlockReadAt* read_ = nullptr;
  std::size_t blockBytes_ = 65536;
  std::vector<uint8_t> block_;
  uint64_t size_ = 0;
  uint64_t start_ = 0;
};

} // namespace korv
