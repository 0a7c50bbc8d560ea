#include "readers/tiff/nef_huffman.h"

#include "readers/tiff/huffman_lut.h"

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

class NefDecoderState {
public:
  BlockFeed feed;
  NefStreamParams params;
  HuffmanLut first;
  HuffmanLut split;
  uint64_t acc = 0;
  int bits = 0;
  int fake = 0;  // zero bits put in past the end of the data
  unsigned row = 0;
  bool shortSeen = false;
  unsigned firstShort = 0;
  std::array<uint16_t, 4> vpred{};

  void Fill() {
    while (bits <= 56) {
      const uint8_t* d = feed.data_;
      std::size_t i = feed.idx_;
      const std::size_t n = feed.len_;
      while (bits <= 56 && i < n) {
        acc = acc << 8 | d[i++];
        bits += 8;
      }
      feed.idx_ = i;
      if (bits > 56) return;
      uint8_t b = 0;
      if (feed.Next(b)) {
        acc = acc << 8 | b;
      } else {
        acc <<= 8;
        fake += 8;
      }
      bits += 8;
    }
  }
  uint32_t Take(unsigned n) {
    if (n == 0) return 0;
    bits -= static_cast<int>(n);
    return static_cast<uint32_t>(acc >> bits) & ((1u << n) - 1);
  }

  void Begin(const NefStreamParams& p) {
    params = p;
    first.Build(NefTableCounts(NefFirstTable(p)), NefTableSymbols(NefFirstTable(p)));
    split.Build(NefTableCounts(NefSplitTable(p)), NefTableSymbols(NefSplitTable(p)));
    vpred = p.InitialPredictor;
  }

  void Row(std::span<uint16_t> out) {
    const HuffmanLut& h = (params.SplitRow != 0 && row >= params.SplitRow) ? split : first;
    uint16_t* vp = &vpred[2 * (row & 1)];
    uint16_t hpred[2] = {0, 0};
    const std::size_t w = out.size();
    for (std::size_t col = 0; col < w; ++col) {
      if (bits < 32) Fill();
      unsigned len = 0;
      const uint32_t peek16 = static_cast<uint32_t>(acc >> (bits - 16)) & 0xFFFF;
      const unsigned sym = h.Decode(peek16, len);
      bits -= static_cast<int>(len);
      const unsigned n = sym & 15;
      const unsigned shl = sym >> 4;
      int32_t diff = static_cast<int32_t>(((Take(shl < n ? n - shl : 0) << 1) + 1) << shl >> 1);
      if (n > 0 && (diff & (1 << (n - 1))) == 0)
        diff -= static_cast<int32_t>(1u << n) - (shl == 0 ? 1 : 0);
      if (col < 2) {
        vp[col] = static_cast<uint16_t>(vp[col] + diff);
        hpred[col] = vp[col];
      } else {
        hpred[col & 1] = static_cast<uint16_t>(hpred[col & 1] + diff);
      }
      out[col] = hpred[col & 1];
    }
    if (bits < fake && !shortSeen) {
      shortSeen = true;
      firstShort = row;
    }
    if (fake > bits) fake = bits < 0 ? 0 : bits;
    ++row;
  }
};

NefHuffmanDecoder::NefHuffmanDecoder() : s_(std::make_unique<NefDecoderState>()) {}
NefHuffmanDecoder::~NefHuffmanDecoder() = default;

void NefHuffmanDecoder::Start(std::span<const uint8_t> stream, const NefStreamParams& p) {
  s_ = std::make_unique<NefDecoderState>();
  s_->feed.UseMemory(stream);
  s_->Begin(p);
}

void NefHuffmanDecoder::Start(BlockReadAt read, uint64_t size, const NefStreamParams& p) {
  s_ = std::make_unique<NefDecoderState>();
  s_->feed.UseReader(std::move(read), size, 65536);
  s_->Begin(p);
}

void NefHuffmanDecoder::DecodeRow(std::span<uint16_t> out) { s_->Row(out); }
bool NefHuffmanDecoder::RanOut() const { return s_->shortSeen; }
unsigned NefHuffmanDecoder::FirstShortRow() const { return s_->shortSeen ? s_->firstShort : s_->row; }
unsigned NefHuffmanDecoder::RowsDecoded() const { return s_->row; }

} // namespace korv
