// Tree building follows the archive decompressor's order so that its codes are
// reproduced bit for bit: 512 leaf slots (the last one always empty) sorted by a
// stable insertion sort, the two least frequent nodes joined (the least on bit
// 0), and the joined node placed in front of every node of equal count.
#include "readers/pds/huffman_first_difference.h"

#include <algorithm>
#include <vector>

namespace korv {
namespace {

struct Entry {
  uint64_t Count;
  int16_t Node;
};

constexpr std::size_t Slots = 512;

// Stable insertion sort of a run by count: a visited entry moves in front of
// the entries whose count is strictly greater.
void InsertionSort(std::span<Entry> run) {
  for (std::size_t i = 1; i < run.size(); ++i) {
    const Entry e = run[i];
    std::size_t j = i;
    while (j > 0 && run[j - 1].Count > e.Count) {
      run[j] = run[j - 1];
      --j;
    }
    run[j] = e;
  }
}

} // namespace

bool BuildHuffmanTree(std::span<const uint32_t, HuffmanHistogramEntries> counts,
                      HuffmanTree& tree) {
  tree = HuffmanTree{};
  std::array<Entry, Slots> run{};
  for (std::size_t i = 0; i < Slots; ++i) {
    run[i] = {i < counts.size() ? counts[i] : 0, static_cast<int16_t>(i)};
    tree.Zero[i] = tree.One[i] = -1;
    tree.Value[i] = static_cast<uint16_t>(i + 1);
  }
  InsertionSort(run);
  std::size_t first = 0;
  while (first < Slots && run[first].Count == 0) ++first;
  const std::size_t leaves = Slots - first;
  tree.LeafCount = static_cast<uint16_t>(leaves);
  if (leaves == 0) return false;

  std::size_t next = Slots;
  // Each join removes one entry from the front of the active run.
  while (Slots - first > 1) {
    const Entry a = run[first];
    const Entry b = run[first + 1];
    const auto n = static_cast<int16_t>(next++);
    tree.Zero[static_cast<std::size_t>(n)] = a.Node;
    tree.One[static_cast<std::size_t>(n)] = b.Node;
    tree.Value[static_cast<std::size_t>(n)] = 0;
    ++first;
    run[first] = {a.Count + b.Count, n};
    InsertionSort(std::span<Entry>(run).subspan(first));
  }
  tree.Root = run[first].Node;
  tree.NodeCount = static_cast<uint16_t>(2 * leaves - 1);
  return true;
}

std::string HuffmanCodeOf(const HuffmanTree& tree, int difference) {
  if (tree.Root < 0 || difference < -255 || difference > 255) return {};
  const auto target = static_cast<int16_t>(difference + 255);
  // Depth-first walk with an explicit stack; the tree has at most 1023 nodes.
  struct Step {
    int16_t Node;
    std::string Code;
  };
  std::vector<Step> stack{{tree.Root, {}}};
  while (!stack.empty()) {
    Step s = std::move(stack.back());
    stack.pop_back();
    if (tree.IsLeaf(s.Node)) {
      if (s.Node == target) return s.Code;
      continue;
    }
    stack.push_back({tree.One[static_cast<std::size_t>(s.Node)], s.Code + '1'});
    stack.push_back({tree.Zero[static_cast<std::size_t>(s.Node)], s.Code + '0'});
  }
  return {};
}

std::size_t DecodeHuffmanLine(const HuffmanTree& tree, std::span<const uint8_t> record,
                              std::size_t skip, std::span<uint16_t> out) {
  if (record.empty() || out.empty() || tree.Root < 0) return 0;
  const std::size_t total = skip + out.size();
  std::size_t produced = 0;  // samples decoded, stored or not
  std::size_t stored = 0;
  uint8_t previous = record[0];
  const auto put = [&](uint8_t sample) {
    if (produced >= skip) out[stored++] = sample;
    ++produced;
  };
  put(previous);
  if (tree.IsLeaf(tree.Root)) {
    // A lone difference is a code of no bits: it fills the line.
    const auto v = static_cast<uint8_t>(tree.Value[static_cast<std::size_t>(tree.Root)]);
    while (produced < total) {
      previous = static_cast<uint8_t>(previous - v);
      put(previous);
    }
    return stored;
  }
  int16_t node = tree.Root;
  for (std::size_t i = 1; i < record.size() && produced < total; ++i) {
    const uint8_t byte = record[i];
    for (unsigned mask = 0x80; mask != 0 && produced < total; mask >>= 1) {
      const auto n = static_cast<std::size_t>(node);
      node = (byte & mask) != 0 ? tree.One[n] : tree.Zero[n];
      if (!tree.IsLeaf(node)) continue;
      previous = static_cast<uint8_t>(previous - tree.Value[static_cast<std::size_t>(node)]);
      put(previous);
      node = tree.Root;
    }
  }
  return stored;
}

} // namespace korv
