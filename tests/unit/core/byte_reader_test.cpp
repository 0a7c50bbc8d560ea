#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core/byte_reader.h"
#include "core/byte_view.h"
#include "core/conversion.h"
#include "tests/test_support.h"

namespace korv {
namespace {

// A conversion whose input file serves the given bytes.
std::unique_ptr<Conversion> OverBytes(const std::vector<uint8_t>& bytes, std::ostringstream& out) {
  auto cv = test::MakeConversion({"korvalix"}, out);
  cv->Input.UseMemory(bytes);
  cv->Input.Open("memory");
  ResetByteReader(*cv);
  return cv;
}

TEST(ByteReader, EndOfFileYieldsZerosAndStaysAtEnd) {
  std::ostringstream out;
  auto cv = OverBytes({0x12, 0x34, 0x56}, out);
  EXPECT_EQ(ReadWordLE(*cv), 0x3412);
  EXPECT_FALSE(ByteReaderAtEnd(*cv));
  EXPECT_EQ(ByteReaderPending(*cv), 1u);
  EXPECT_EQ(ReadByte(*cv), 0x56);
  EXPECT_EQ(ReadByte(*cv), 0);
  EXPECT_TRUE(ByteReaderAtEnd(*cv));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadByte(*cv), 0);
  EXPECT_EQ(ReadLongLE(*cv), 0u);
  EXPECT_TRUE(ByteReaderAtEnd(*cv));
}

TEST(ByteReader, ShortLongReadsZeroHighBytes) {
  std::ostringstream out;
  auto cv = OverBytes({0x01, 0x02}, out);
  EXPECT_EQ(ReadLongLE(*cv), 0x0201u);
}

TEST(ByteReader, RefillsAcrossTheBufferBoundary) {
  std::vector<uint8_t> bytes(ByteBufferSize * 2 + 7);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::ostringstream out;
  auto cv = OverBytes(bytes, out);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = ReadByte(*cv);
    if (b != bytes[i]) {
      ADD_FAILURE() << "byte " << i;
      break;
    }
  }
  EXPECT_EQ(cv->State.LastIoResult, 7);
  EXPECT_FALSE(ByteReaderAtEnd(*cv));
  EXPECT_EQ(ReadByte(*cv), 0);
  EXPECT_TRUE(ByteReaderAtEnd(*cv));
}

TEST(ByteReader, BitOrders) {
  std::ostringstream out;
  auto cv = OverBytes({0xB4, 0x01}, out); // 1011 0100
  std::array<int, 8> lsb{}, msb{};
  for (int& b : lsb) b = ReadBitLsbFirst(*cv);
  EXPECT_EQ(lsb, (std::array<int, 8>{0, 0, 1, 0, 1, 1, 0, 1}));
  for (int& b : msb) b = ReadBitMsbFirst(*cv);
  EXPECT_EQ(msb, (std::array<int, 8>{0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(ReadBitMsbFirst(*cv), 0); // past the end
  EXPECT_TRUE(ByteReaderAtEnd(*cv));
}

TEST(ByteReader, BitsShareOneBuffer) {
  std::ostringstream out;
  auto cv = OverBytes({0x80, 0xFF}, out);
  EXPECT_EQ(ReadBitMsbFirst(*cv), 1);
  // The next seven bits come from the same byte, whichever end is read.
  for (int i = 0; i < 7; ++i) EXPECT_EQ(ReadBitLsbFirst(*cv), 0);
  EXPECT_EQ(ReadBitLsbFirst(*cv), 1);
  ResetByteReader(*cv);
  cv->Input.Seek(0);
  EXPECT_EQ(ReadByte(*cv), 0x80);
}

TEST(ByteView, ByteOrdersAndPosition) {
  const std::array<uint8_t, 14> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  ByteView v(data, ByteOrder::Big);
  EXPECT_EQ(v.U16(), 0x0102);
  v.SetOrder(ByteOrder::Little);
  EXPECT_EQ(v.U16(), 0x0403);
  EXPECT_EQ(v.U32BE(), 0x05060708u);
  EXPECT_EQ(v.Position(), 8u);
  EXPECT_EQ(v.Remaining(), 6u);
  EXPECT_EQ(v.U32LE(), 0x0C0B0A09u);
  EXPECT_EQ(v.U8(), 13);
  EXPECT_FALSE(v.Overran());
  EXPECT_EQ(v.U16At(0), 0x0201);
  EXPECT_TRUE(v.Seek(0));
  EXPECT_EQ(v.U64BE(), 0x0102030405060708ull);
  EXPECT_TRUE(v.Seek(6));
  EXPECT_EQ(v.U64LE(), 0x0E0D0C0B0A090807ull);
  EXPECT_EQ(v.Remaining(), 0u);
  EXPECT_FALSE(v.Overran());
}

TEST(ByteView, OverrunIsStickyAndReadsZero) {
  const std::array<uint8_t, 3> data = {0xAA, 0xBB, 0xCC};
  ByteView v(data, ByteOrder::Little);
  EXPECT_EQ(v.U16(), 0xBBAA);
  EXPECT_EQ(v.U16(), 0); // one byte left: not enough
  EXPECT_TRUE(v.Overran());
  EXPECT_EQ(v.Remaining(), 0u);
  EXPECT_TRUE(v.Seek(0));
  EXPECT_EQ(v.U8(), 0xAA);
  EXPECT_TRUE(v.Overran()); // stays set

  ByteView w(data);
  EXPECT_FALSE(w.Skip(4));
  EXPECT_TRUE(w.Overran());
  ByteView x(data);
  EXPECT_EQ(x.U32At(~uint64_t{0} - 1), 0u); // offset + size would wrap
  EXPECT_TRUE(x.Overran());
  ByteView y(data);
  EXPECT_TRUE(y.Bytes(5).empty());
  EXPECT_TRUE(y.Overran());
  ByteView z(data);
  EXPECT_FALSE(z.Seek(4));
  EXPECT_EQ(z.Position(), 3u);
  ByteView e;
  EXPECT_EQ(e.U32(), 0u);
  EXPECT_TRUE(e.Overran());
}

} // namespace
} // namespace korv
