#include "readers/dicom/rle_segment.h"

#include <algorithm>
#include <cstring>

namespace korv {
namespace {

uint32_t Le32(std::span<const uint8_t> b, std::size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

} // namespace

RleHeaderStatus ReadRleHeader(std::span<const uint8_t> frame, RleHeader& header) {
  header = RleHeader{};
  if (frame.size() < RleHeaderBytes) return RleHeaderStatus::TooShort;
  const uint32_t count = Le32(frame, 0);
  if (count == 0 || count > RleMaxSegments) return RleHeaderStatus::BadCount;
  uint64_t previous = RleHeaderBytes;
  for (unsigned i = 0; i < count; ++i) {
    const uint32_t offset = Le32(frame, 4 + 4 * std::size_t{i});
    // Segments follow the header in order and start inside the frame.
    if (offset < previous || offset >= frame.size()) return RleHeaderStatus::BadOffset;
    header.Offsets[i] = offset;
    previous = offset;
  }
  header.SegmentCount = count;
  return RleHeaderStatus::Ok;
}

std::span<const uint8_t> RleSegment(std::span<const uint8_t> frame, const RleHeader& header,
                                    unsigned i) {
  if (i >= header.SegmentCount) return {};
  const std::size_t start = header.Offsets[i];
  const std::size_t end = i + 1 < header.SegmentCount ? header.Offsets[i + 1] : frame.size();
  if (start > end || end > frame.size()) return {};
  return frame.subspan(start, end - start);
}

std::size_t RleSegmentDecoder::Decode(std::span<uint8_t> out) {
  std::size_t done = 0;
  const std::size_t want = out.size();
  while (done < want) {
    if (repeatLeft_ > 0) {
      const std::size_t n = std::min<std::size_t>(repeatLeft_, want - done);
      std::memset(out.data() + done, repeatValue_, n);
      repeatLeft_ -= static_cast<uint32_t>(n);
      done += n;
      continue;
    }
    if (literalLeft_ > 0) {
      // A literal run cut by the end of the segment gives what is there.
      const std::size_t n =
          std::min({std::size_t{literalLeft_}, want - done, data_.size() - pos_});
      if (n == 0) {
        literalLeft_ = 0;
        break;
      }
      std::memcpy(out.data() + done, data_.data() + pos_, n);
      pos_ += n;
      literalLeft_ -= static_cast<uint32_t>(n);
      done += n;
      continue;
    }
    if (pos_ >= data_.size()) break;
    const auto control = static_cast<int8_t>(data_[pos_++]);
    if (control >= 0) {
      literalLeft_ = static_cast<uint32_t>(control) + 1;
    } else if (control != -128) {
      if (pos_ >= data_.size()) break;
      repeatValue_ = data_[pos_++];
      repeatLeft_ = static_cast<uint32_t>(1 - control);
    }
  }
  if (done < want) std::memset(out.data() + done, 0, want - done);
  return done;
}

uint64_t RleSegmentDecoder::Skip(uint64_t n) {
  std::array<uint8_t, 4096> sink;
  uint64_t held = 0;
  while (n > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(n, sink.size()));
    const std::size_t got = Decode(std::span<uint8_t>(sink.data(), chunk));
    held += got;
    n -= chunk;
    if (got < chunk) break;
  }
  return held;
}

} // namespace korv
