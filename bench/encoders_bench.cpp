// Encoding throughput of the output data codes on a sky-like 16-bit image
// (smooth background with a gradient, photon noise, stars, a few hot columns):
// plain big-endian rows, PREVPIXEL and PROF-VAR, in megabytes of 16-bit input
// per second. The encoded bytes go to a sink that only counts them, so the
// figures are those of the encoders, not of the disk.
//   encoders_bench [width height [repeats]]   (default 4000 3000 3)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "output/byte_sink.h"
#include "output/fits_data.h"
#include "output/prev_pixel.h"
#include "output/prof_var.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint16_t> SkyImage(std::size_t width, std::size_t height) {
  std::mt19937 rng(12345);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<double> where(0.0, 1.0);
  std::vector<uint16_t> image(width * height);
  std::vector<double> sky(width * height);
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < width; ++x)
      sky[y * width + x] = 1500.0 + 0.2 * static_cast<double>(x) + 0.1 * static_cast<double>(y);
  // Stars: Gaussian profiles, some saturated.
  const std::size_t stars = width * height / 2000;
  for (std::size_t s = 0; s < stars; ++s) {
    const double cx = where(rng) * static_cast<double>(width);
    const double cy = where(rng) * static_cast<double>(height);
    const double peak = std::pow(10.0, 2.0 + 3.0 * where(rng));
    const double sigma = 1.2 + where(rng);
    const long r = 6;
    for (long dy = -r; dy <= r; ++dy)
      for (long dx = -r; dx <= r; ++dx) {
        const long x = static_cast<long>(cx) + dx;
        const long y = static_cast<long>(cy) + dy;
        if (x < 0 || y < 0 || x >= static_cast<long>(width) || y >= static_cast<long>(height))
          continue;
        const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        sky[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)] +=
            peak * std::exp(-d2 / (2 * sigma * sigma));
      }
  }
  for (std::size_t i = 0; i < image.size(); ++i) {
    double v = sky[i] + std::sqrt(sky[i]) * unit(rng); // photon noise
    if (i % width == 1234 % width) v = 60000;          // one hot column
    image[i] = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
  }
  return image;
}

struct Counter {
  std::size_t bytes = 0;
};

void Count(void* context, const uint8_t*, std::size_t n) {
  static_cast<Counter*>(context)->bytes += n;
}

template <typename EncodeImage>
void Measure(const char* name, std::size_t inputBytes, int repeats, EncodeImage encode) {
  double best = 1e30;
  std::size_t out = 0;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    out = encode();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, seconds);
  }
  std::printf("%-10s %8.1f MB/s  %7.3f s  output %6.1f%% of input\n", name,
              static_cast<double>(inputBytes) / best / 1e6, best,
              100.0 * static_cast<double>(out) / static_cast<double>(inputBytes));
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t width = argc > 2 ? std::strtoul(argv[1], nullptr, 10) : 4000;
  const std::size_t height = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 3000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
  if (width == 0 || width > 30000 || height == 0) {
    std::fprintf(stderr, "width 1..30000 and a height above 0, please\n");
    return 1;
  }
  const std::vector<uint16_t> image = SkyImage(width, height);
  const std::size_t inputBytes = image.size() * 2;
  std::printf("%zu x %zu 16-bit samples, best of %d\n", width, height, repeats);

  std::vector<uint8_t> rowBytes(width * 4);
  std::vector<uint8_t> staging(30024);
  std::vector<uint8_t> planes(korv::ProfVarScratchBytes(width));
  auto row = [&](std::size_t y) { return std::span<const uint16_t>(&image[y * width], width); };

  Measure("plain-16", inputBytes, repeats, [&] {
    std::size_t n = 0;
    for (std::size_t y = 0; y < height; ++y) n += korv::EncodePlainRow(row(y), 16, rowBytes);
    return n;
  });
  Measure("PREVPIXEL", inputBytes, repeats, [&] {
    Counter c;
    korv::ByteSink sink(staging, staging.size() - 1, Count, &c);
    for (std::size_t y = 0; y < height; ++y) {
      korv::EncodePrevPixelRow(row(y), sink);
      sink.Flush();
    }
    return c.bytes;
  });
  Measure("PROF-VAR", inputBytes, repeats, [&] {
    Counter c;
    korv::ByteSink sink(staging, staging.size() - 1, Count, &c);
    korv::ProfVarPredictors carry;
    for (std::size_t y = 0; y < height; ++y) {
      korv::EncodeProfVarRow(row(y), static_cast<uint16_t>(width), carry, planes, sink);
      sink.Flush();
    }
    return c.bytes;
  });
  return 0;
}
