#include "output/fits_checksum.h"

#include <algorithm>
#include <bit>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/conversion.h"
#include "core/stop.h"
#include "output/fits_data.h"

namespace korv {

const char* const ChecksumPlaceholder = "CHECKSUM= '0000000000000000'   / HDU checksum";
const char* const DatasumPlaceholder = "DATASUM = '0'                  / data unit checksum";

namespace {

constexpr std::size_t CardBytes = 80;
constexpr int64_t Block = 2880;

uint64_t Fold(uint64_t s) {
  while (s >> 32) s = (s & 0xFFFFFFFFu) + (s >> 32);
  return s;
}

[[noreturn]] void StopOnSealError(Conversion& cv) {
  Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno != 0 ? errno : EIO));
  Finish(cv, true);
}

bool HasKeyword(std::string_view card, std::string_view keyword) {
  return card.substr(0, 8) == keyword;
}

} // namespace

void OnesSum::Add(std::span<const uint8_t> bytes, uint64_t offset) {
  std::size_t i = 0;
  uint64_t s = sum_;
  // Leading bytes up to a word boundary.
  while (i < bytes.size() && (offset + i) % 4 != 0) {
    s += uint64_t{bytes[i]} << (8 * (3 - (offset + i) % 4));
    ++i;
  }
  // Whole words. Each byte lane is summed on its own and the lanes weighted
  // afterwards: the same sum, several bytes per operation. Eight bytes at a
  // time go into four 16-bit counters per lane pair, which hold 256 additions
  // of a byte before they are emptied into the 64-bit lane sums.
  uint64_t lane0 = 0, lane1 = 0, lane2 = 0, lane3 = 0;
  const uint8_t* p = bytes.data();
#if defined(__SSE2__)
  // The same counters sixteen bytes an operation: the even bytes of each
  // 16-bit element go to vectors of eight counters, the odd bytes to others;
  // two sets of them, each taking two blocks of 16 bytes of every 64, so that
  // 128 groups of 64 bytes fill a counter to at most 256 bytes.
  {
    const __m128i low = _mm_set1_epi16(0x00FF);
    const auto load = [p](std::size_t at) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    while (i + 64 <= bytes.size()) {
      const std::size_t groups = std::min<std::size_t>((bytes.size() - i) / 64, 128);
      __m128i even0 = _mm_setzero_si128(), odd0 = _mm_setzero_si128();
      __m128i even1 = _mm_setzero_si128(), odd1 = _mm_setzero_si128();
      for (std::size_t k = 0; k < groups; ++k, i += 64) {
        const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
        even0 = _mm_add_epi16(even0, _mm_add_epi16(_mm_and_si128(a, low), _mm_and_si128(c, low)));
        odd0 = _mm_add_epi16(odd0, _mm_add_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(c, 8)));
        even1 = _mm_add_epi16(even1, _mm_add_epi16(_mm_and_si128(b, low), _mm_and_si128(d, low)));
        odd1 = _mm_add_epi16(odd1, _mm_add_epi16(_mm_srli_epi16(b, 8), _mm_srli_epi16(d, 8)));
      }
      // Counter j of an even vector holds bytes at 2j of each 16, lane 0 for an
      // even j and lane 2 for an odd one; of an odd vector, the bytes at 2j + 1
      // (lanes 1 and 3).
      std::array<uint16_t, 8> e0{}, o0{}, e1{}, o1{};
      _mm_storeu_si128(reinterpret_cast<__m128i*>(e0.data()), even0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o0.data()), odd0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(e1.data()), even1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o1.data()), odd1);
      for (std::size_t j = 0; j < 8; j += 2) {
        lane0 += uint64_t{e0[j]} + e1[j];
        lane2 += uint64_t{e0[j + 1]} + e1[j + 1];
        lane1 += uint64_t{o0[j]} + o1[j];
        lane3 += uint64_t{o0[j + 1]} + o1[j + 1];
      }
    }
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t mask = 0x00FF00FF00FF00FFull;
    while (i + 8 <= bytes.size()) {
      const std::size_t chunks = std::min<std::size_t>((bytes.size() - i) / 8, 256);
      uint64_t even = 0, odd = 0;
      for (std::size_t k = 0; k < chunks; ++k, i += 8) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        even += v & mask;
        odd += (v >> 8) & mask;
      }
      // Counters 0..3 of `even` hold the bytes at 0, 2, 4, 6 of each 8; of `odd`, 1, 3, 5, 7.
      lane0 += (even & 0xFFFF) + ((even >> 32) & 0xFFFF);
      lane2 += ((even >> 16) & 0xFFFF) + (even >> 48);
      lane1 += (odd & 0xFFFF) + ((odd >> 32) & 0xFFFF);
      lane3 += ((odd >> 16) & 0xFFFF) + (odd >> 48);
    }
  }
  for (; i + 4 <= bytes.size(); i += 4) {
    lane0 += p[i];
    lane1 += p[i + 1];
    lane2 += p[i + 2];
    lane3 += p[i + 3];
  }
  // A lane sum stays below 2^38 for any piece under 1 GiB, so the shifts fit.
  s = Fold(s + Fold(lane0 << 24) + Fold(lane1 << 16) + Fold(lane2 << 8) + lane3);
  for (; i < bytes.size(); ++i) s += uint64_t{bytes[i]} << (8 * (3 - (offset + i) % 4));
  sum_ = Fold(s);
}

uint32_t OnesSum::Value() const { return static_cast<uint32_t>(Fold(sum_)); }

uint32_t AddOnes(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>(Fold(uint64_t{a} + b));
}

std::string EncodeChecksum(uint32_t sum) {
  // Each byte of the complemented sum is spread over four characters from '0'
  // on, avoiding the punctuation between the digits and the letters; the text
  // is then rotated by one character so that it sums as a whole word.
  constexpr std::array<int, 13> exclude = {0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x40,
                                           0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};
  const uint32_t value = ~sum;
  std::array<char, 16> asc{};
  for (int i = 0; i < 4; ++i) {
    const int byte = static_cast<int>((value >> (8 * (3 - i))) & 0xFF);
    std::array<int, 4> ch{};
    ch.fill(byte / 4 + 0x30);
    ch[0] += byte % 4;
    for (bool changed = true; changed;) {
      changed = false;
      for (int x : exclude)
        for (int j = 0; j < 4; j += 2)
          if (ch[j] == x || ch[j + 1] == x) {
            ++ch[j];
            --ch[j + 1];
            changed = true;
          }
    }
    for (int j = 0; j < 4; ++j) asc[4 * j + i] = static_cast<char>(ch[j]);
  }
  std::string out(16, ' ');
  for (int i = 0; i < 16; ++i) out[i] = asc[(i + 15) % 16];
  return out;
}

void NoteDataBytes(Conversion& cv, std::span<const uint8_t> bytes, int64_t position) {
  DataChecksum& c = cv.Checksum;
  const int64_t start = cv.State.HeaderBytes;
  if (!c.Active || position < start) return;
  c.Sum.Add(bytes, static_cast<uint64_t>(position - start));
  c.Bytes += bytes.size();
}

void SealChecksums(Conversion& cv) {
  DataChecksum& c = cv.Checksum;
  if (!c.Active) return;
  errno = 0;
  const int64_t headerBytes = cv.State.HeaderBytes;
  const int64_t size = cv.Output.Size();
  if (headerBytes <= 0 || headerBytes % Block != 0 || size < headerBytes) StopOnSealError(cv);
  std::string header(static_cast<std::size_t>(headerBytes), ' ');
  if (!cv.Output.ReadAt(0, header.data(), header.size())) StopOnSealError(cv);
  std::size_t checksumAt = std::string::npos;
  std::size_t datasumAt = std::string::npos;
  for (std::size_t at = 0; at + CardBytes <= header.size(); at += CardBytes) {
    const std::string_view card = std::string_view(header).substr(at, CardBytes);
    if (HasKeyword(card, "CHECKSUM") && checksumAt == std::string::npos) checksumAt = at;
    if (HasKeyword(card, "DATASUM ") && datasumAt == std::string::npos) datasumAt = at;
    if (HasKeyword(card, "END     ")) break;
  }
  if (checksumAt == std::string::npos || datasumAt == std::string::npos) return;

  // The rows of a plain file are each written once; should that ever not hold,
  // the sum is taken from the file itself.
  const auto dataBytes = static_cast<uint64_t>(size - headerBytes);
  const uint64_t expected = uint64_t{cv.State.OutWidth} * cv.State.OutHeight *
                            BytesPerSample(cv.State.OutputBitpix);
  if (c.Bytes != expected || dataBytes < expected) {
    c.Sum.Reset();
    std::vector<uint8_t> chunk(std::size_t{1} << 16);
    for (uint64_t done = 0; done < dataBytes;) {
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), dataBytes - done));
      if (!cv.Output.ReadAt(headerBytes + static_cast<int64_t>(done), chunk.data(), n))
        StopOnSealError(cv);
      c.Sum.Add(std::span<const uint8_t>(chunk.data(), n), done);
      done += n;
    }
    c.Bytes = expected;
  }
  const uint32_t datasum = c.Sum.Value();

  std::string datasumCard = "DATASUM = '" + std::to_string(datasum) + "'";
  datasumCard.resize(31, ' ');
  datasumCard += "/ data unit checksum";
  datasumCard.resize(CardBytes, ' ');
  header.replace(datasumAt, CardBytes, datasumCard);
  std::string checksumCard = ChecksumPlaceholder;
  checksumCard.resize(CardBytes, ' ');
  header.replace(checksumAt, CardBytes, checksumCard);

  OnesSum headerSum;
  headerSum.Add(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(header.data()),
                                         header.size()),
                0);
  const std::string encoded = EncodeChecksum(AddOnes(headerSum.Value(), datasum));
  checksumCard.replace(11, 16, encoded);
  if (!cv.Output.Seek(static_cast<int64_t>(checksumAt)) ||
      !cv.Output.Write(checksumCard.data(), CardBytes) ||
      !cv.Output.Seek(static_cast<int64_t>(datasumAt)) ||
      !cv.Output.Write(datasumCard.data(), CardBytes))
    StopOnSealError(cv);
}

} // namespace korv
