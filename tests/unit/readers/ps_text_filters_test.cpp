// The ASCIIHex and ASCII85 decoders of PostScript image data on hand-written
// streams: white space, end markers, final partial groups, bad characters.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "readers/raster/ps_text_filters.h"

namespace korv {
namespace {

struct Decoded {
  std::vector<uint8_t> Bytes;
  PsDataEnd End = PsDataEnd::NotYet;
};

// Decodes until the data end (at most 64 bytes).
Decoded DecodeAll(PsEncoding encoding, const std::string& text) {
  EncodedSpan source(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  PsTextDecoder decoder(encoding, source);
  Decoded d;
  uint8_t b = 0;
  for (int i = 0; i < 64 && decoder.Next(b); ++i) d.Bytes.push_back(b);
  d.End = decoder.End();
  EXPECT_TRUE(decoder.Exhausted());
  EXPECT_FALSE(decoder.Next(b)); // stays ended
  EXPECT_EQ(b, 0);
  return d;
}

using Bytes = std::vector<uint8_t>;

TEST(PsHexData, DigitsWhiteSpaceAndEnd) {
  struct Case {
    std::string Text;
    Bytes Expected;
    PsDataEnd End;
  };
  const std::vector<Case> cases = {
      {"7F80ff", {0x7F, 0x80, 0xFF}, PsDataEnd::InputEnd},
      // CR, CR LF, TAB, FF, blanks and NUL are no data, even between two digits.
      {"7\r\nF 8\r0\t\f0a", {0x7F, 0x80, 0x0A}, PsDataEnd::InputEnd},
      {std::string("1\0002", 3), {0x12}, PsDataEnd::InputEnd},
      // '>' ends the data; what follows is not read.
      {"0102>0304", {0x01, 0x02}, PsDataEnd::Marker},
      // A lone final digit has an implied 0 after it.
      {"ABC>", {0xAB, 0xC0}, PsDataEnd::Marker},
      {"ABC", {0xAB, 0xC0}, PsDataEnd::InputEnd},
      // A character that is no hexadecimal digit ends the data.
      {"12G4", {0x12}, PsDataEnd::BadByte},
      {"123G", {0x12}, PsDataEnd::BadByte},
      {"", {}, PsDataEnd::InputEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const Decoded d = DecodeAll(PsEncoding::Hex, c.Text);
    EXPECT_EQ(d.Bytes, c.Expected);
    EXPECT_EQ(d.End, c.End);
  }
}

TEST(PsAscii85Data, GroupsMarkersAndPartialGroups) {
  struct Case {
    std::string Text;
    Bytes Expected;
    PsDataEnd End;
  };
  const std::vector<Case> cases = {
      {"9jqo^", {'M', 'a', 'n', ' '}, PsDataEnd::InputEnd},
      {"s8W-!~>", {0xFF, 0xFF, 0xFF, 0xFF}, PsDataEnd::Marker},
      // z stands for a whole group of zeros.
      {"z9jqo^z~>", {0, 0, 0, 0, 'M', 'a', 'n', ' ', 0, 0, 0, 0}, PsDataEnd::Marker},
      // Final groups of 4, 3 and 2 characters give 3, 2 and 1 bytes.
      {"!<N?+\"U52~>", {1, 2, 3, 4, 5, 6, 7}, PsDataEnd::Marker},
      {"s8W*~>", {0xFF, 0xFF, 0xFF}, PsDataEnd::Marker},
      {"!!*-'\"9eu7#RL~>", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, PsDataEnd::Marker},
      // Without the marker a final partial group still counts.
      {"!!*-'\"9eu7#RL", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, PsDataEnd::InputEnd},
      // Line breaks of every kind and blanks inside groups and the marker.
      {"9j\r\nqo\r^ s8\nW-!~ >", {'M', 'a', 'n', ' ', 0xFF, 0xFF, 0xFF, 0xFF}, PsDataEnd::Marker},
      // One character alone holds no byte.
      {"9jqo^!~>", {'M', 'a', 'n', ' '}, PsDataEnd::Marker},
      // z inside a group, characters above 'u', a value above 2^32 - 1 and a
      // tilde without '>' end the data; the group they are in is void.
      {"9jqo^9jz", {'M', 'a', 'n', ' '}, PsDataEnd::BadByte},
      {"9jqo^9{", {'M', 'a', 'n', ' '}, PsDataEnd::BadByte},
      {"s8W-\"", {}, PsDataEnd::BadByte},
      {"uuuu~>", {}, PsDataEnd::BadByte},
      {"9jqo^~x", {'M', 'a', 'n', ' '}, PsDataEnd::BadByte},
      {"~>9jqo^", {}, PsDataEnd::Marker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const Decoded d = DecodeAll(PsEncoding::Ascii85, c.Text);
    EXPECT_EQ(d.Bytes, c.Expected);
    EXPECT_EQ(d.End, c.End);
  }
}

TEST(PsAscii85Data, DecodeFillsWithZerosPastTheEnd) {
  const std::string text = "9jqo^s8W*~>";
  EncodedSpan source(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  PsTextDecoder decoder(PsEncoding::Ascii85, source);
  Bytes out(10, 0xAA);
  EXPECT_EQ(decoder.Decode(out), 7u);
  EXPECT_EQ(out, (Bytes{'M', 'a', 'n', ' ', 0xFF, 0xFF, 0xFF, 0, 0, 0}));
}

} // namespace
} // namespace korv
