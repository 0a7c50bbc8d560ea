#include "readers/raster/raster_source.h"

#include <algorithm>
#include <cstring>

#include "core/numbers.h"

namespace korv {
namespace {

// Reads are whole multiples of this, so the stdio layer passes them straight
// to the system.
constexpr std::size_t ReadGranule = 4096;
constexpr std::size_t BufferSize = RasterSource::MaxTake + (std::size_t{64} << 10);

} // namespace

RasterSource::RasterSource(InputFile& in) : in_(in), buffer_(BufferSize) {
  base_ = in_.Tell();
}

void RasterSource::Seek(int64_t position) {
  if (position < 0) position = 0;
  // A target inside the buffer needs no system call.
  if (position >= base_ && position <= base_ + static_cast<int64_t>(fill_)) {
    pos_ = static_cast<std::size_t>(position - base_);
    return;
  }
  in_.Seek(position);
  base_ = in_.Tell();
  fill_ = pos_ = 0;
  atEnd_ = false;
  // Seeking past the end leaves the file short of the target: those bytes are missing.
  if (base_ < position) {
    base_ = position;
    atEnd_ = true;
  }
}

void RasterSource::Skip(uint64_t n) {
  const uint64_t inBuffer = fill_ - pos_;
  if (n <= inBuffer) {
    pos_ += static_cast<std::size_t>(n);
    return;
  }
  const int64_t target = Tell() + static_cast<int64_t>(std::min<uint64_t>(n, INT64_MAX / 2));
  Seek(target);
}

bool RasterSource::Refill(std::size_t need) {
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, fill_ - pos_);
    fill_ -= pos_;
    base_ += static_cast<int64_t>(pos_);
    pos_ = 0;
  }
  while (!atEnd_ && fill_ < need) {
    const std::size_t room = (buffer_.size() - fill_) / ReadGranule * ReadGranule;
    const std::size_t got = in_.Read(buffer_.data() + fill_, room);
    if (got == 0) atEnd_ = true;
    fill_ += got;
  }
  return fill_ > pos_;
}

std::span<const uint8_t> RasterSource::Take(std::size_t n) {
  n = std::min(n, MaxTake);
  if (fill_ - pos_ < n) Refill(n);
  const std::size_t got = std::min(n, fill_ - pos_);
  if (got < n) {
    // The file ends inside the block (Refill left it at the front of the
    // buffer): the rest is zeros, never stale bytes.
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_ + got),
              buffer_.begin() + static_cast<std::ptrdiff_t>(pos_ + n), uint8_t{0});
    missing_ += n - got;
    const std::span<const uint8_t> view(buffer_.data() + pos_, n);
    base_ += static_cast<int64_t>(pos_ + n);
    pos_ = fill_ = 0;
    return view;
  }
  const std::span<const uint8_t> view(buffer_.data() + pos_, n);
  pos_ += n;
  return view;
}

std::string WeightsLine(const ImageState& st, bool withAlpha) {
  std::string line = withAlpha ? "rvba={" : "rvb={";
  line += FormatFixed(st.ChannelWeightR, 3) + "," + FormatFixed(st.ChannelWeightV, 3) + "," +
          FormatFixed(st.ChannelWeightB, 3);
  if (withAlpha) line += "," + FormatFixed(st.ChannelWeightA, 3);
  return line + "}";
}

} // namespace korv
