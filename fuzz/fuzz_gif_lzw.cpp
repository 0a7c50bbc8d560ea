// libFuzzer target for the GIF LZW decoder without its container: the first
// byte is the minimum code size, the second the sub-block length and the size
// of the output pieces asked for; the rest is the code stream.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "readers/raster/gif_lzw.h"

namespace {

class Blocks final : public korv::GifBlockFeed {
public:
  Blocks(std::span<const uint8_t> data, std::size_t size) : data_(data), size_(size) {}
  std::span<const uint8_t> NextBlock() override {
    const std::size_t n = std::min(size_, data_.size() - pos_);
    const std::span<const uint8_t> block = data_.subspan(pos_, n);
    pos_ += n;
    return block;
  }

private:
  std::span<const uint8_t> data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Blocks feed(std::span<const uint8_t>(data + 2, size - 2), 1 + data[1]);
  auto lzw = std::make_unique<korv::GifLzwDecoder>();
  lzw->Start(data[0] & 15u);
  std::vector<uint8_t> out(1 + data[1] * 37u);
  // The output is bounded: a stream may expand each code to 4096 indices.
  for (int k = 0; k < 4096; ++k) {
    if (lzw->Fill(out, feed) < out.size()) break;
  }
  return 0;
}
