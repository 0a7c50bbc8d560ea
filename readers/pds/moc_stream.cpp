#include "readers/pds/moc_stream.h"

namespace korv {
namespace {

uint32_t HeaderLength(DataSource& src) {
  std::array<uint8_t, MocHeaderBytes> header{};
  src.Read(header.data(), header.size());
  return uint32_t{header[MocLengthOffset]} | uint32_t{header[MocLengthOffset + 1]} << 8 |
         uint32_t{header[MocLengthOffset + 2]} << 16 | uint32_t{header[MocLengthOffset + 3]} << 24;
}

} // namespace

void MocStream::Start() {
  consumed_ = 0;
  boundary_ = HeaderLength(src_);
  bits_ = bitsLeft_ = 0;
}

uint8_t MocStream::ReadStreamByte() {
  if (consumed_ >= boundary_) {
    src_.Next();  // block separator
    // A zero length still advances by the header: every call takes a byte.
    boundary_ += uint64_t{HeaderLength(src_)} + MocHeaderBytes + 1;
    consumed_ += MocHeaderBytes + 1;
  }
  ++consumed_;
  return src_.Next();
}

uint8_t MocStream::NextBit() {
  if (bitsLeft_ == 0) {
    bits_ = ReadStreamByte();
    bitsLeft_ = 8;
  }
  const auto bit = static_cast<uint8_t>(bits_ & 1u);
  bits_ = static_cast<uint8_t>(bits_ >> 1);
  --bitsLeft_;
  return bit;
}

void MocStream::DecodePlainLine(std::span<uint16_t> out) {
  for (uint16_t& s : out) s = ReadStreamByte();
}

void MocStream::DecodeSyncLine(std::span<uint16_t> out) {
  bits_ = bitsLeft_ = 0;
  uint8_t last = 0;
  // Bounded by the stream: past its end the marker search stops.
  while (!src_.AtEnd()) {
    const uint8_t b = ReadStreamByte();
    if (last == 202 && b == 240) break;
    last = b;
  }
  DecodePlainLine(out);
}

void MocStream::DecodePredictedLine(std::span<uint16_t> out) {
  uint8_t value = 0;
  for (uint16_t& s : out) {
    unsigned node = 1;
    // At most 15 steps: the tree is complete.
    while (MocTree.Child[node][0] != 0) node = MocTree.Child[node][NextBit()];
    value = static_cast<uint8_t>(value + MocTree.Leaf[node]);
    s = value;
  }
}

} // namespace korv
