#include "readers/tiff/pentax_huffman.h"

#include "readers/tiff/msb_bit_reader.h"

namespace korv {

bool ReadPentaxCodeTable(std::span<const uint8_t> bytes, bool bigEndian, PentaxCodeTable& table) {
  auto byteAt = [&](std::size_t i) -> unsigned { return i < bytes.size() ? bytes[i] : 0; };
  auto wordAt = [&](std::size_t i) {
    return static_cast<uint16_t>(bigEndian ? byteAt(i) << 8 | byteAt(i + 1) : byteAt(i + 1) << 8 | byteAt(i));
  };
  table = PentaxCodeTable{};
  table.Count = (wordAt(0) + 12u) & 15;
  for (unsigned c = 0; c < table.Count; ++c) {
    table.Code[c] = wordAt(14 + 2 * c);
    table.Length[c] = static_cast<uint8_t>(byteAt(14 + 2 * table.Count + c));
  }
  bool any = false;
  for (unsigned c = 0; c < table.Count; ++c) {
    const unsigned code = table.Code[c], len = table.Length[c];
    if (len < 1 || len > 12) continue;
    const unsigned span = 4096u >> len;
    if (code + span > 4096) continue;
    for (unsigned i = code; i < code + span; ++i) table.Lookup[i] = static_cast<uint16_t>(len << 8 | c);
    if (!any || len < table.ShortestLength) table.ShortestLength = len;
    any = true;
  }
  return any;
}

class PentaxDecoderState {
public:
  MsbBitReader bits;
  const PentaxCodeTable* table = nullptr;
  std::array<uint16_t, 4> vpred{};  // row parity x 2 first columns
  unsigned row = 0;
  bool shortSeen = false;
  bool corrupt = false;  // bits no code stands for were met
  unsigned firstShort = 0;

  int32_t Difference() {
    // A code and its extra bits take 12 + 15 bits at most.
    bits.Ensure(27);
    const uint16_t e = table->Lookup[bits.Show(12)];
    // Bits no code stands for: the data are damaged from here on.
    if (e == 0) corrupt = true;
    bits.Skip(e >> 8);
    const unsigned len = e & 0xFF;
    if (len == 0) return 0;
    const int32_t v = static_cast<int32_t>(bits.Show(len));
    bits.Skip(len);
    // A clear first bit marks a negative difference.
    return (v & (1 << (len - 1))) ? v : v - ((1 << len) - 1);
  }

  void Row(std::span<uint16_t> out) {
    uint16_t* vp = &vpred[2 * (row & 1)];
    uint16_t hpred[2] = {0, 0};
    const std::size_t w = out.size();
    for (std::size_t col = 0; col < w; ++col) {
      const int32_t d = Difference();
      if (col < 2) {
        vp[col] = static_cast<uint16_t>(vp[col] + d);
        hpred[col] = vp[col];
      } else {
        hpred[col & 1] = static_cast<uint16_t>(hpred[col & 1] + d);
      }
      out[col] = hpred[col & 1];
    }
    if ((bits.PastEnd() || corrupt) && !shortSeen) {
      shortSeen = true;
      firstShort = row;
    }
    ++row;
  }
};

PentaxHuffmanDecoder::PentaxHuffmanDecoder() : s_(std::make_unique<PentaxDecoderState>()) {}
PentaxHuffmanDecoder::~PentaxHuffmanDecoder() = default;

void PentaxHuffmanDecoder::Start(std::span<const uint8_t> stream, const PentaxCodeTable& table) {
  s_ = std::make_unique<PentaxDecoderState>();
  s_->bits.Feed().UseMemory(stream);
  s_->table = &table;
}

void PentaxHuffmanDecoder::Start(BlockReadAt read, uint64_t size, const PentaxCodeTable& table) {
  s_ = std::make_unique<PentaxDecoderState>();
  s_->bits.Feed().UseReader(std::move(read), size, 65536);
  s_->table = &table;
}

void PentaxHuffmanDecoder::DecodeRow(std::span<uint16_t> out) { s_->Row(out); }
bool PentaxHuffmanDecoder::RanOut() const { return s_->shortSeen; }
unsigned PentaxHuffmanDecoder::FirstShortRow() const { return s_->shortSeen ? s_->firstShort : s_->row; }

} // namespace korv
