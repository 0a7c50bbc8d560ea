#include "readers/tiff/nef_huffman.h"

#include "readers/tiff/huffman_lut.h"
#include "readers/tiff/msb_bit_reader.h"

namespace korv {

namespace {

struct TableSpec {
  std::array<uint8_t, 16> Counts;
  std::array<uint8_t, 16> Symbols;
  uint8_t SymbolCount;
};

constexpr std::array<TableSpec, 6> Tables = {{
    // 12-bit lossy, first rows
    {{0, 1, 5, 1, 1, 1, 1, 1, 1, 2, 0, 0, 0, 0, 0, 0}, {5, 4, 3, 6, 2, 7, 1, 0, 8, 9, 11, 10, 12}, 13},
    // 12-bit lossy, from the split row
    {{0, 1, 5, 1, 1, 1, 1, 1, 1, 2, 0, 0, 0, 0, 0, 0},
     {0x39, 0x5a, 0x38, 0x27, 0x16, 5, 4, 3, 2, 1, 0, 11, 12, 12},
     14},
    // 12-bit lossless
    {{0, 1, 4, 2, 3, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {5, 4, 6, 3, 7, 2, 8, 1, 9, 0, 10, 11, 12}, 13},
    // 14-bit lossy, first rows
    {{0, 1, 4, 3, 1, 1, 1, 1, 1, 2, 0, 0, 0, 0, 0, 0},
     {5, 6, 4, 7, 8, 3, 9, 2, 1, 0, 10, 11, 12, 13, 14},
     15},
    // 14-bit lossy, from the split row
    {{0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 2, 0, 0, 0, 0, 0},
     {8, 0x5c, 0x4b, 0x3a, 0x29, 7, 6, 5, 4, 3, 2, 1, 0, 13, 14},
     15},
    // 14-bit lossless
    {{0, 1, 4, 2, 2, 3, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0},
     {7, 6, 8, 5, 9, 4, 10, 3, 11, 12, 2, 0, 1, 13, 14},
     15},
}};

} // namespace

NefTable NefFirstTable(const NefStreamParams& p) {
  if (p.Bits == 12) return p.Lossless ? NefTable::Lossless12 : NefTable::Lossy12;
  if (p.Bits == 14) return p.Lossless ? NefTable::Lossless14 : NefTable::Lossy14;
  return NefTable::None;
}

NefTable NefSplitTable(const NefStreamParams& p) {
  if (p.Lossless) return NefFirstTable(p);
  if (p.Bits == 12) return NefTable::Split12;
  if (p.Bits == 14) return NefTable::Split14;
  return NefTable::None;
}

std::span<const uint8_t> NefTableCounts(NefTable t) {
  if (t == NefTable::None) return {};
  return Tables[static_cast<std::size_t>(t)].Counts;
}

std::span<const uint8_t> NefTableSymbols(NefTable t) {
  if (t == NefTable::None) return {};
  const TableSpec& s = Tables[static_cast<std::size_t>(t)];
  return {s.Symbols.data(), s.SymbolCount};
}

// The difference a symbol stands for with its extra bits v. A shifted code
// (high nibble) carries len - shift bits and stands for a difference of
// magnitude about 2^len; a clear top bit marks a negative one, which is
// 2^len less (2^len - 1 less for the plain codes, as in JPEG).
inline int32_t NefDifference(unsigned sym, uint32_t v) {
  const unsigned n = sym & 15, shl = sym >> 4;
  int32_t diff = static_cast<int32_t>(((v << 1) + 1) << shl >> 1);
  if (n > 0 && (diff & (1 << (n - 1))) == 0)
    diff -= static_cast<int32_t>(1u << n) - (shl == 0 ? 1 : 0);
  return diff;
}

inline unsigned ExtraBits(unsigned sym) {
  const unsigned n = sym & 15, shl = sym >> 4;
  return shl < n ? n - shl : 0;
}

constexpr unsigned NefLutBits = 12;

// One table: the Huffman codes, and for each value of the next NefLutBits
// bits either the whole difference (bit 31 set, length of code and extra bits
// in bits 16-20, difference in bits 0-15) or the code's length and symbol.
struct NefCodes {
  HuffmanLut Codes;
  std::array<uint32_t, 1u << NefLutBits> Fast{};

  void Build(NefTable t) {
    Codes.Build(NefTableCounts(t), NefTableSymbols(t));
    for (uint32_t p = 0; p < (1u << NefLutBits); ++p) {
      unsigned len = 0;
      const unsigned sym = Codes.Decode(p << (16 - NefLutBits), len);
      const unsigned nb = ExtraBits(sym);
      if (len > 0 && len + nb <= NefLutBits) {
        const uint32_t v = (p >> (NefLutBits - len - nb)) & ((1u << nb) - 1);
        const int32_t d = NefDifference(sym, v);
        Fast[p] = 1u << 31 | (len + nb) << 16 | (static_cast<uint32_t>(d) & 0xFFFF);
      } else {
        Fast[p] = 0;
      }
    }
  }
};

class NefDecoderState {
public:
  MsbBitReader in;
  NefStreamParams params;
  NefCodes first;
  NefCodes split;
  unsigned row = 0;
  bool shortSeen = false;
  unsigned firstShort = 0;
  std::array<uint16_t, 4> vpred{};

  void Begin(const NefStreamParams& p) {
    params = p;
    first.Build(NefFirstTable(p));
    split.Build(NefSplitTable(p));
    vpred = p.InitialPredictor;
  }

  int32_t Difference(const NefCodes& c) {
    // A code and its extra bits take 32 bits at most.
    in.Ensure(32);
    const uint32_t e = c.Fast[in.Show(NefLutBits)];
    if (e >> 31) {
      in.Skip((e >> 16) & 31);
      return static_cast<int16_t>(e & 0xFFFF);
    }
    unsigned len = 0;
    const unsigned sym = c.Codes.Decode(in.Show(16), len);
    in.Skip(len);
    const unsigned nb = ExtraBits(sym);
    uint32_t v = 0;
    if (nb) {
      v = in.Show(nb);
      in.Skip(nb);
    }
    return NefDifference(sym, v);
  }

  void Row(std::span<uint16_t> out) {
    const NefCodes& c = (params.SplitRow != 0 && row >= params.SplitRow) ? split : first;
    uint16_t* vp = &vpred[2 * (row & 1)];
    const std::size_t w = out.size();
    // The first two columns from the cells two rows up, the others from the left.
    uint16_t hpred[2] = {0, 0};
    for (std::size_t col = 0; col < w && col < 2; ++col) {
      vp[col] = static_cast<uint16_t>(vp[col] + Difference(c));
      hpred[col] = vp[col];
      out[col] = hpred[col];
    }
    uint16_t* o = out.data();
    for (std::size_t col = 2; col + 1 < w; col += 2) {
      hpred[0] = static_cast<uint16_t>(hpred[0] + Difference(c));
      o[col] = hpred[0];
      hpred[1] = static_cast<uint16_t>(hpred[1] + Difference(c));
      o[col + 1] = hpred[1];
    }
    if (w > 2 && (w & 1)) {
      hpred[0] = static_cast<uint16_t>(hpred[0] + Difference(c));
      o[w - 1] = hpred[0];
    }
    if (in.PastEnd() && !shortSeen) {
      shortSeen = true;
      firstShort = row;
    }
    ++row;
  }
};

NefHuffmanDecoder::NefHuffmanDecoder() : s_(std::make_unique<NefDecoderState>()) {}
NefHuffmanDecoder::~NefHuffmanDecoder() = default;

void NefHuffmanDecoder::Start(std::span<const uint8_t> stream, const NefStreamParams& p) {
  s_ = std::make_unique<NefDecoderState>();
  s_->in.Feed().UseMemory(stream);
  s_->Begin(p);
}

void NefHuffmanDecoder::Start(BlockReadAt read, uint64_t size, const NefStreamParams& p) {
  s_ = std::make_unique<NefDecoderState>();
  s_->in.Feed().UseReader(std::move(read), size, 65536);
  s_->Begin(p);
}

void NefHuffmanDecoder::DecodeRow(std::span<uint16_t> out) { s_->Row(out); }
bool NefHuffmanDecoder::RanOut() const { return s_->shortSeen; }
unsigned NefHuffmanDecoder::FirstShortRow() const { return s_->shortSeen ? s_->firstShort : s_->row; }
unsigned NefHuffmanDecoder::RowsDecoded() const { return s_->row; }

} // namespace korv
