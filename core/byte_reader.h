// Buffered byte and bit reader over the input file. Past the end every read
// yields 0 and the end flag stays set.
#pragma once

#include <cstdint>

namespace korv {

struct Conversion;

void ResetByteReader(Conversion& cv);
bool ByteReaderAtEnd(const Conversion& cv);
uint8_t ReadByte(Conversion& cv);
uint8_t ReadBitLsbFirst(Conversion& cv);
uint8_t ReadBitMsbFirst(Conversion& cv);
uint16_t ReadWordLE(Conversion& cv);
uint32_t ReadLongLE(Conversion& cv);
// Bytes of the file already read into the buffer but not yet taken.
uint32_t ByteReaderPending(const Conversion& cv);

} // namespace korv
