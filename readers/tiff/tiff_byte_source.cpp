#include "readers/tiff/tiff_byte_source.h"

#include <algorithm>
#include <utility>

#include "core/input_file.h"

namespace korv {

TiffByteSource::TiffByteSource(InputFile& in) : in_(in), buffer_(RefillBytes * BlocksPerRead) {}

void TiffByteSource::Seek(uint64_t position) {
  // An offset beyond what a seek can express lands at the end of the file.
  const int64_t size = in_.Size();
  const int64_t target =
      position > static_cast<uint64_t>(size) ? size : static_cast<int64_t>(position);
  ResetBits();
  // A target within the file bytes now buffered (unswapped, no zeros past the
  // end) needs no read: the buffer holds what reading from there gives. It is
  // kept for whole blocks from the target only, so that chunks end where
  // blocks read from the target end, and the next refill reads on from there
  // (wherever the file was moved to meanwhile).
  if (swap_ == 0 && fill_ <= zeroFrom_ && target >= bufferAt_ &&
      target < bufferAt_ + static_cast<int64_t>(fill_)) {
    const auto at = static_cast<std::size_t>(target - bufferAt_);
    const std::size_t keep = (fill_ - at) / RefillBytes * RefillBytes;
    if (keep > 0) {
      pos_ = blockFrom_ = at;
      fill_ = at + keep;
      resumeAt_ = bufferAt_ + static_cast<int64_t>(fill_);
      return;
    }
  }
  in_.Seek(target);
  DropBuffer();
  resumeAt_ = -1;
}

void TiffByteSource::Refill() {
  if (resumeAt_ >= 0) {
    if (in_.Tell() != resumeAt_) in_.Seek(resumeAt_);
    resumeAt_ = -1;
  }
  DropBuffer();
  bufferAt_ = in_.Tell();
  // Blocks start at whole multiples of RefillBytes from the position of the
  // read, so reading several at once gives each byte the place, and each
  // chunk the bounds, that one read a block would give.
  std::size_t got = in_.Read(buffer_.data(), buffer_.size());
  if (got == 0) {
    // The end of the file reads as zeros.
    std::fill(buffer_.begin(), buffer_.end(), uint8_t{0});
    zeroFrom_ = 0;
    fill_ = buffer_.size();
    return;
  }
  zeroFrom_ = buffer_.size(); // a short block is not padded: the next refill is the end
  if (swap_ == 2 || swap_ == 4) {
    // A short last block is padded so that its last group swaps whole.
    const std::size_t whole = (got + swap_ - 1) / swap_ * swap_;
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(got),
              buffer_.begin() + static_cast<std::ptrdiff_t>(whole), uint8_t{0});
    for (std::size_t i = 0; i < whole; i += swap_) {
      std::reverse(buffer_.begin() + static_cast<std::ptrdiff_t>(i),
                   buffer_.begin() + static_cast<std::ptrdiff_t>(i + swap_));
    }
    zeroFrom_ = got;
    got = whole;
  }
  fill_ = got;
  pos_ = 0;
}

void TiffByteSource::Read(std::span<uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (pos_ == fill_) Refill();
    const std::size_t n = std::min(out.size() - done, fill_ - pos_);
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out.begin() +
                static_cast<std::ptrdiff_t>(done));
    pos_ += n;
    done += n;
  }
}

std::span<const uint8_t> TiffByteSource::TakeChunk() {
  if (pos_ == fill_) Refill();
  const std::size_t end =
      std::min(fill_, blockFrom_ + ((pos_ - blockFrom_) / RefillBytes + 1) * RefillBytes);
  const std::span<const uint8_t> chunk(buffer_.data() + pos_, end - pos_);
  pos_ = end;
  return chunk;
}

uint32_t TiffByteSource::BitsMsb(unsigned n) {
  if (n == 0) return 0;
  while (bitCount_ < n) {
    bitBuffer_ = (bitBuffer_ << 8) | Byte();
    bitCount_ += 8;
  }
  bitCount_ -= n;
  return static_cast<uint32_t>((bitBuffer_ >> bitCount_) & ((uint64_t{1} << n) - 1));
}

uint32_t TiffByteSource::BitsLsb(unsigned n) {
  if (n == 0) return 0;
  while (bitCount_ < n) {
    bitBuffer_ |= uint64_t{Byte()} << bitCount_;
    bitCount_ += 8;
  }
  const uint32_t v = static_cast<uint32_t>(bitBuffer_ & ((uint64_t{1} << n) - 1));
  bitBuffer_ >>= n;
  bitCount_ -= n;
  return v;
}

} // namespace korv
