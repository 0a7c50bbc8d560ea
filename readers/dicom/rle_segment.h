// Run-length compressed pixel data of medical images: a 64-byte header giving
// up to 15 segment offsets, then one byte-plane segment per sample byte (most
// significant byte first, one sample after the other). Each segment is a
// sequence of runs: a control byte n of 0..127 copies the next n + 1 bytes, -1..-127
// repeats the next byte 1 - n times, -128 is no operation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korv {

constexpr std::size_t RleHeaderBytes = 64;
constexpr unsigned RleMaxSegments = 15;

struct RleHeader {
  uint32_t SegmentCount = 0;
  std::array<uint32_t, RleMaxSegments> Offsets{};
};

enum class RleHeaderStatus : uint8_t { Ok, TooShort, BadCount, BadOffset };

// Reads the header of one compressed frame and checks it against the frame:
// 1 to 15 segments, offsets from 64 on, increasing, inside the frame.
RleHeaderStatus ReadRleHeader(std::span<const uint8_t> frame, RleHeader& header);

// The bytes of segment i (0-based) of a frame whose header was accepted: up to
// the next segment's offset, or to the end of the frame for the last one.
std::span<const uint8_t> RleSegment(std::span<const uint8_t> frame, const RleHeader& header,
                                    unsigned i);

// Decodes one segment as a stream: runs may continue from one call to the next.
class RleSegmentDecoder {
public:
  RleSegmentDecoder() = default;
  explicit RleSegmentDecoder(std::span<const uint8_t> segment) : data_(segment) {}

  // Fills out with the next out.size() bytes. Bytes the segment no longer holds
  // are 0; returns how many came from the segment.
  std::size_t Decode(std::span<uint8_t> out);

  // Decodes and drops up to n bytes; returns how many the segment held.
  uint64_t Skip(uint64_t n);

private:
  std::span<const uint8_t> data_;
  std::size_t pos_ = 0;
  uint32_t literalLeft_ = 0; // bytes still to copy from the current literal run
  uint32_t repeatLeft_ = 0;  // times still to give repeatValue_
  uint8_t repeatValue_ = 0;
};

} // namespace korv
