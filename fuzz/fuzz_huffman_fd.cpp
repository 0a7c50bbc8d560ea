// libFuzzer target for the first-difference Huffman decoder without its label:
// two bytes give the line width, one the samples skipped before it; then come
// the 2044-byte encoding histogram and line records (16-bit little-endian
// length, bytes), decoded until the input is used up.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "readers/pds/huffman_first_difference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t width = 1 + ((std::size_t{data[0]} << 8 | data[1]) % 30000);
  const std::size_t skip = data[2];
  std::span<const uint8_t> rest(data + 3, size - 3);
  std::array<uint32_t, korv::HuffmanHistogramEntries> counts{};
  for (std::size_t i = 0; i < counts.size() * 4 && i < rest.size(); ++i)
    counts[i / 4] |= uint32_t{rest[i]} << (8 * (i % 4));
  rest = rest.subspan(std::min(rest.size(), korv::HuffmanHistogramBytes));
  korv::HuffmanTree tree;
  if (!korv::BuildHuffmanTree(counts, tree)) return 0;
  std::vector<uint16_t> row(width);
  for (int line = 0; line < 64 && rest.size() >= 2; ++line) {
    const std::size_t n = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 2);
    const std::size_t stored = korv::DecodeHuffmanLine(tree, rest.subspan(2, n), skip, row);
    if (stored > row.size()) __builtin_trap();
    rest = rest.subspan(2 + n);
  }
  return 0;
}
