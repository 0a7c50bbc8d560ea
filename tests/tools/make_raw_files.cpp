// Writes one test raw file: make_raw_files KIND OUT WIDTH HEIGHT [SEED]
// KIND: dng12 dng14 dng16 dng14-tiles dng12-pred6 dng12-lin nef12 nef14 nef12-lossless
//       nef14-lossless nef12-curve nef14-curve nef12-split nef14-split
//       (vendor kinds: tests/vendor_raw_files.h)
//       pef12 pef14 pef12-pentax (note "PENTAX \0") pef14-ii (little-endian) orf orf-noisy
//       orf-plain orf12-plain
// The mosaic is smooth random data; the peers' decoding of the file is the truth.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/raw_file_writer.h"
#include "tests/vendor_raw_files.h"

int main(int argc, char** argv) {
  using namespace korv::test;
  if (argc < 5) {
    std::fprintf(stderr, "usage: make_raw_files KIND OUT WIDTH HEIGHT [SEED]\n");
    return 2;
  }
  const std::string kind = argv[1];
  const unsigned w = static_cast<unsigned>(std::atoi(argv[3]));
  const unsigned h = static_cast<unsigned>(std::atoi(argv[4]));
  const unsigned seed = argc > 5 ? static_cast<unsigned>(std::atoi(argv[5])) : 1;
  std::string file;
  if (kind.rfind("dng", 0) == 0) {
    DngOptions o;
    o.Bits = static_cast<unsigned>(std::atoi(kind.c_str() + 3));
    if (kind.find("tiles") != std::string::npos) {
      o.TileWidth = 256;
      o.TileHeight = 192;
    }
    if (kind.find("pred6") != std::string::npos) o.Predictor = 6;
    if (kind.find("lin") != std::string::npos) {
      // A table shorter than the value range: values above it take its last entry.
      const unsigned n = (1u << o.Bits) * 3 / 4;
      for (unsigned i = 0; i < n; ++i)
        o.Linearisation.push_back(static_cast<uint16_t>(65535.0 * i * i / (double(n) * n)));
    }
    file = WriteDng(MakeMosaic(w, h, o.Bits, seed), w, h, o);
  } else if (kind.rfind("nef", 0) == 0) {
    NefOptions o;
    o.Bits = static_cast<unsigned>(std::atoi(kind.c_str() + 3));
    o.Lossless = kind.find("lossless") != std::string::npos;
    unsigned rawBits = o.Bits;
    if (o.Lossless) {
      o.Vini = o.Bits == 12 ? std::array<uint16_t, 4>{0x200, 0x200, 0x200, 0x200}
                            : std::array<uint16_t, 4>{0x800, 0x800, 0x800, 0x800};
    } else {
      o.Vini = {2048, 2048, 2048, 2048};
      // A lossy file stores a curve of 257 points over the full range: the data
      // then hold curve indices (here the identity mapping of a gentler slope).
      const unsigned m = 1u << o.Bits;
      for (unsigned i = 0; i <= 256; ++i) {
        const double x = static_cast<double>(i) / 256;
        const bool curved = kind.find("curve") != std::string::npos || kind.find("split") != std::string::npos;
        o.CurvePoints.push_back(static_cast<uint16_t>(curved ? (m - 1) * x * x : (m - 1) * x));
      }
      if (kind.find("split") != std::string::npos) o.SplitRow = h / 2;
      rawBits = o.Bits - 1;  // indices of a lossy file stay low
    }
    std::vector<uint16_t> coded;
    file = WriteNef(MakeMosaic(w, h, rawBits, seed), w, h, o, coded);
  } else if (kind.rfind("pef", 0) == 0) {
    PefOptions o;
    o.Bits = static_cast<unsigned>(std::atoi(kind.c_str() + 3));
    o.CodeCount = o.Bits > 12 ? 15 : 13;
    o.PentaxHeader = kind.find("pentax") != std::string::npos;
    o.BigEndian = kind.find("-ii") == std::string::npos;
    file = WritePef(MakeMosaic(w, h, o.Bits, seed), w, h, o);
  } else if (kind == "orf-noisy") {
    // Noise mixed with full-range jumps: the compressed stream takes more
    // than 16 bits a sample.
    std::mt19937 rng(seed);
    std::vector<uint16_t> noise(static_cast<std::size_t>(w) * h);
    for (auto& v : noise) {
      const unsigned x = rng();
      v = static_cast<uint16_t>((x & 0x100) ? rng() & 0xFFF : (x & 1) ? 4095 : 0);
    }
    file = WriteOrf(noise, w, h);
  } else if (kind.rfind("orf", 0) == 0) {
    file = WriteOrf(MakeMosaic(w, h, 12, seed), w, h, kind != "orf", kind == "orf12-plain" ? 12 : 16);
  } else if (WriteVendorRawKind(kind, w, h, seed, file)) {
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }
  std::ofstream(argv[2], std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
  return 0;
}
