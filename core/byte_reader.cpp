#include "core/byte_reader.h"

#include "core/conversion.h"

namespace korv {

void ResetByteReader(Conversion& cv) {
  ByteReaderState& r = cv.Reader;
  r.Valid = 0;
  r.Position = 0;
  r.BitBuffer = 0;
  r.BitsLeft = 0;
  r.AtEnd = 0;
}

bool ByteReaderAtEnd(const Conversion& cv) { return cv.Reader.AtEnd != 0; }

uint8_t ReadByte(Conversion& cv) {
  ByteReaderState& r = cv.Reader;
  if (r.AtEnd) return 0;
  if (r.Position >= r.Valid) {
    // A short read is not an error; an empty one marks the end of the file.
    const std::size_t got = cv.Input.Read(r.Buffer.data(), r.Buffer.size());
    r.Valid = static_cast<uint32_t>(got);
    r.Position = 0;
    cv.State.LastIoResult = static_cast<int32_t>(got);
    if (got == 0) r.AtEnd = 1;
  }
  if (r.AtEnd) return 0;
  return r.Buffer[r.Position++];
}

uint8_t ReadBitLsbFirst(Conversion& cv) {
  ByteReaderState& r = cv.Reader;
  if (r.BitsLeft == 0) {
    r.BitBuffer = ReadByte(cv);
    r.BitsLeft = 8;
  }
  --r.BitsLeft;
  const uint8_t bit = static_cast<uint8_t>(r.BitBuffer & 1u);
  r.BitBuffer = static_cast<uint16_t>(r.BitBuffer >> 1);
  return bit;
}

uint8_t ReadBitMsbFirst(Conversion& cv) {
  ByteReaderState& r = cv.Reader;
  if (r.BitsLeft == 0) {
    r.BitBuffer = ReadByte(cv);
    r.BitsLeft = 8;
  }
  --r.BitsLeft;
  r.BitBuffer = static_cast<uint16_t>((r.BitBuffer & 0xFFu) << 1);
  return static_cast<uint8_t>((r.BitBuffer >> 8) & 1u);
}

uint16_t ReadWordLE(Conversion& cv) {
  const uint16_t lo = ReadByte(cv);
  const uint16_t hi = ReadByte(cv);
  return static_cast<uint16_t>(lo | (hi << 8));
}

uint32_t ReadLongLE(Conversion& cv) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(ReadByte(cv)) << (8 * i);
  return v;
}

uint32_t ByteReaderPending(const Conversion& cv) {
  return cv.Reader.Valid > cv.Reader.Position ? cv.Reader.Valid - cv.Reader.Position : 0;
}

} // namespace korv
