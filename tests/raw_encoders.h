// Test encoders for camera raw streams: lossless JPEG (any predictor, restart
// intervals, one to four interleaved components, tables under chosen
// identifiers), Nikon's Huffman-coded raw data (plain and shifted codes),
// Pentax's Huffman-coded data and Olympus's adaptive code.
// They write what the decoders read, so the tests can build any stream and
// the bench can build full-size files; the peers check the files they make.
#pragma once

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

namespace korv::test {

class BitWriter {
public:
  explicit BitWriter(bool stuff) : stuff_(stuff) {}
  void Put(uint32_t bits, unsigned n) {
    for (int i = static_cast<int>(n) - 1; i >= 0; --i) {
      cur_ = static_cast<uint8_t>(cur_ << 1 | ((bits >> i) & 1));
      if (++fill_ == 8) Flush8();
    }
  }
  // Pads the last byte with ones.
  void Align() {
    while (fill_ != 0) Put(1, 1);
  }
  std::string& Bytes() { return out_; }

private:
  void Flush8() {
    out_.push_back(static_cast<char>(cur_));
    if (stuff_ && cur_ == 0xFF) out_.push_back('\0');
    cur_ = 0;
    fill_ = 0;
  }
  bool stuff_;
  uint8_t cur_ = 0;
  unsigned fill_ = 0;
  std::string out_;
};

// A canonical code: counts of lengths 1..16 and the symbols in code order.
struct HuffCodes {
  std::array<uint8_t, 16> Counts{};
  std::vector<uint8_t> Symbols;
  // Code and length of each symbol (0..255).
  std::array<uint32_t, 256> Code{};
  std::array<uint8_t, 256> Length{};
  void Assign() {
    uint32_t code = 0;
    std::size_t k = 0;
    for (unsigned len = 1; len <= 16; ++len) {
      for (unsigned i = 0; i < Counts[len - 1]; ++i, ++k, ++code) {
        Code[Symbols[k]] = code;
        Length[Symbols[k]] = static_cast<uint8_t>(len);
      }
      code <<= 1;
    }
  }
};

// Categories 0..16 with short codes for the middle categories.
inline HuffCodes DefaultLosslessSpec() {
  HuffCodes h;
  h.Counts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
  h.Symbols = {4, 5, 3, 6, 2, 7, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  h.Assign();
  return h;
}

inline unsigned Category(int32_t d) {
  unsigned a = static_cast<unsigned>(d < 0 ? -d : d);
  unsigned s = 0;
  while (a) {
    ++s;
    a >>= 1;
  }
  return s;
}

// Writes a difference: the code of its category, then its extra bits.
inline void PutDifference(BitWriter& bw, const HuffCodes& h, int32_t d) {
  // Differences are taken modulo 2^16, into -32767..32768.
  d = static_cast<int16_t>(static_cast<uint16_t>(d));
  if (d == -32768) d = 32768;
  const unsigned s = d == 32768 ? 16 : Category(d);
  bw.Put(h.Code[s], h.Length[s]);
  if (s == 0 || s == 16) return;
  const uint32_t v = d < 0 ? static_cast<uint32_t>(d + (1 << s) - 1) : static_cast<uint32_t>(d);
  bw.Put(v, s);
}

struct LjpegEncodeOptions {
  unsigned Precision = 12;
  unsigned Predictor = 1;
  unsigned PointTransform = 0;
  unsigned RestartInterval = 0; // MCUs
  unsigned Marker = 0xC3;
  // Table identifier used by each component, and whether every table has its
  // own DHT segment; tables are written in the order of TableOrder.
  std::array<uint8_t, 4> TableOfComponent{0, 1, 2, 3};
  bool OneSegmentPerTable = false;
  std::vector<uint8_t> TableOrder; // empty: ascending identifiers
  bool SwapSoi = false;            // begin with D8 FF
  int WrittenPredictor = -1;       // Ss as written, when it differs from Predictor
};

inline void PutWord(std::string& s, unsigned w) {
  s.push_back(static_cast<char>(w >> 8));
  s.push_back(static_cast<char>(w & 0xFF));
}

// Encodes `lines` lines of `x` columns of `nc` interleaved components.
// specs[id] is the code of table identifier id.
inline std::string EncodeLosslessJpeg(const std::vector<uint16_t>& samples, unsigned lines,
                                      unsigned x, unsigned nc, const LjpegEncodeOptions& o,
                                      const std::array<HuffCodes, 4>& specs) {
  std::string s;
  if (o.SwapSoi) PutWord(s, 0xD8FF); else PutWord(s, 0xFFD8);
  // Frame header.
  PutWord(s, 0xFF00 | o.Marker);
  PutWord(s, 8 + 3 * nc);
  s.push_back(static_cast<char>(o.Precision));
  PutWord(s, lines);
  PutWord(s, x);
  s.push_back(static_cast<char>(nc));
  for (unsigned c = 0; c < nc; ++c) {
    s.push_back(static_cast<char>(c + 1));
    s.push_back(0x11);
    s.push_back(0);
  }
  // Tables.
  std::vector<uint8_t> ids;
  if (o.TableOrder.empty()) {
    for (unsigned c = 0; c < nc; ++c) {
      bool have = false;
      for (auto id : ids) have = have || id == o.TableOfComponent[c];
      if (!have) ids.push_back(o.TableOfComponent[c]);
    }
  } else {
    ids = o.TableOrder;
  }
  auto tableBytes = [&](uint8_t id) {
    std::string t;
    t.push_back(static_cast<char>(id));
    for (auto c : specs[id & 3].Counts) t.push_back(static_cast<char>(c));
    for (auto v : specs[id & 3].Symbols) t.push_back(static_cast<char>(v));
    return t;
  };
  if (o.OneSegmentPerTable) {
    for (auto id : ids) {
      const std::string t = tableBytes(id);
      PutWord(s, 0xFFC4);
      PutWord(s, static_cast<unsigned>(2 + t.size()));
      s += t;
    }
  } else {
    std::string all;
    for (auto id : ids) all += tableBytes(id);
    PutWord(s, 0xFFC4);
    PutWord(s, static_cast<unsigned>(2 + all.size()));
    s += all;
  }
  if (o.RestartInterval) {
    PutWord(s, 0xFFDD);
    PutWord(s, 4);
    PutWord(s, o.RestartInterval);
  }
  // Scan header.
  PutWord(s, 0xFFDA);
  PutWord(s, 6 + 2 * nc);
  s.push_back(static_cast<char>(nc));
  for (unsigned c = 0; c < nc; ++c) {
    s.push_back(static_cast<char>(c + 1));
    s.push_back(static_cast<char>(o.TableOfComponent[c] << 4));
  }
  s.push_back(static_cast<char>(o.WrittenPredictor >= 0 ? o.WrittenPredictor : o.Predictor));
  s.push_back(0);
  s.push_back(static_cast<char>(o.PointTransform));

  const unsigned pt = o.PointTransform;
  const std::size_t n = static_cast<std::size_t>(x) * nc;
  std::vector<int32_t> prev(n), cur(n);
  BitWriter bw(true);
  bool first = true;
  uint64_t mcus = 0;
  unsigned rst = 0;
  for (unsigned y = 0; y < lines; ++y) {
    if (o.RestartInterval && y != 0 && mcus % o.RestartInterval == 0) {
      bw.Align();
      std::string& b = bw.Bytes();
      b.push_back(static_cast<char>(0xFF));
      b.push_back(static_cast<char>(0xD0 + (rst++ & 7)));
      first = true;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const int32_t v = samples[y * n + i] >> pt;
      cur[i] = v;
      int32_t p;
      if (i < nc) {
        p = first ? 1 << (o.Precision - pt - 1) : prev[i];
      } else if (first) {
        p = cur[i - nc];
      } else {
        const int32_t ra = cur[i - nc], rb = prev[i], rc = prev[i - nc];
        switch (o.Predictor) {
        case 2: p = rb; break;
        case 3: p = rc; break;
        case 4: p = ra + rb - rc; break;
        case 5: p = ra + ((rb - rc) >> 1); break;
        case 6: p = rb + ((ra - rc) >> 1); break;
        case 7: p = (ra + rb) >> 1; break;
        default: p = ra; break;
        }
      }
      if (o.Predictor == 0) p = 0;
      PutDifference(bw, specs[o.TableOfComponent[i % nc] & 3], v - p);
    }
    prev.swap(cur);
    first = false;
    mcus += x;
  }
  bw.Align();
  s += bw.Bytes();
  PutWord(s, 0xFFD9);
  return s;
}

inline std::string EncodeLosslessJpeg(const std::vector<uint16_t>& samples, unsigned lines,
                                      unsigned x, unsigned nc, const LjpegEncodeOptions& o = {}) {
  const HuffCodes d = DefaultLosslessSpec();
  return EncodeLosslessJpeg(samples, lines, x, nc, o, {d, d, d, d});
}

} // namespace korv::test

namespace korv::test {

// A Pentax code table: categories 0..count-1 with canonical codes of the
// given lengths (shortest first, then by category), as the tag 0x220 data
// store them: the word, 12 bytes, the codes left-aligned in 12 bits (words in
// the file's byte order), the lengths.
struct PentaxCodes {
  std::vector<uint8_t> Lengths;
  std::vector<uint16_t> Codes;  // right-aligned
  std::string TableBytes(bool big = true) const {
    std::string s;
    auto word = [&](unsigned w) {
      if (big) {
        PutWord(s, w);
      } else {
        s.push_back(static_cast<char>(w & 0xFF));
        s.push_back(static_cast<char>(w >> 8));
      }
    };
    const unsigned n = static_cast<unsigned>(Lengths.size());
    word((n + 4) & 15);
    s.append(12, '\0');
    for (unsigned c = 0; c < n; ++c) word(static_cast<unsigned>(Codes[c]) << (12 - Lengths[c]));
    for (unsigned c = 0; c < n; ++c) s.push_back(static_cast<char>(Lengths[c]));
    return s;
  }
};

inline PentaxCodes MakePentaxCodes(unsigned count) {
  PentaxCodes p;
  for (unsigned k = 0; k < count; ++k)
    p.Lengths.push_back(static_cast<uint8_t>(std::min(12, 2 + std::abs(static_cast<int>(k) - 6))));
  std::vector<unsigned> order(count);
  for (unsigned k = 0; k < count; ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](unsigned a, unsigned b) { return p.Lengths[a] < p.Lengths[b]; });
  p.Codes.assign(count, 0);
  unsigned code = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (i > 0) code = (code + 1) << (p.Lengths[order[i]] - p.Lengths[order[i - 1]]);
    p.Codes[order[i]] = static_cast<uint16_t>(code);
  }
  return p;
}

// Pentax data: each cell's difference from its left neighbour of the same
// colour (the first two columns from the cell two rows up), lossless.
inline std::string EncodePentaxData(const std::vector<uint16_t>& raw, unsigned w, unsigned h,
                                    const PentaxCodes& codes) {
  BitWriter bw(false);
  uint16_t vpred[2][2] = {{0, 0}, {0, 0}};
  for (unsigned r = 0; r < h; ++r) {
    uint16_t hpred[2] = {0, 0};
    for (unsigned c = 0; c < w; ++c) {
      const uint16_t v = raw[static_cast<std::size_t>(r) * w + c];
      const int32_t d = static_cast<int32_t>(v) - (c < 2 ? vpred[r & 1][c] : hpred[c & 1]);
      const unsigned s = Category(d);
      bw.Put(codes.Codes[s], codes.Lengths[s]);
      if (s) bw.Put(d < 0 ? static_cast<uint32_t>(d + (1 << s) - 1) : static_cast<uint32_t>(d), s);
      if (c < 2) vpred[r & 1][c] = v;
      hpred[c & 1] = v;
    }
  }
  bw.Align();
  return bw.Bytes();
}

// Olympus data (12-bit values): 7 bytes, then the adaptive code, written as
// the decoder reads it.
inline std::string EncodeOlympusData(const std::vector<uint16_t>& raw, unsigned w, unsigned h) {
  auto at = [&](unsigned r, unsigned c) { return static_cast<int32_t>(raw[static_cast<std::size_t>(r) * w + c]); };
  auto predict = [&](unsigned r, unsigned c) -> int32_t {
    if (r < 2 && c < 2) return 0;
    if (r < 2) return at(r, c - 2);
    if (c < 2) return at(r - 2, c);
    const int32_t wv = at(r, c - 2), n = at(r - 2, c), nw = at(r - 2, c - 2);
    if ((wv < nw && nw < n) || (n < nw && nw < wv)) {
      if (std::abs(wv - nw) > 32 || std::abs(n - nw) > 32) return wv + n - nw;
      return (wv + n) >> 1;
    }
    return std::abs(wv - nw) > std::abs(n - nw) ? wv : n;
  };
  BitWriter bw(false);
  for (unsigned r = 0; r < h; ++r) {
    int32_t carry[2][3] = {{0, 0, 0}, {0, 0, 0}};
    for (unsigned c = 0; c < w; ++c) {
      int32_t* k = carry[c & 1];
      const int i = k[2] < 3 ? 2 : 0;
      int nbits = 2 + i;
      while ((static_cast<uint16_t>(k[0]) >> (nbits + i)) != 0) ++nbits;
      const int32_t t = at(r, c) - predict(r, c);
      const int32_t low = t & 3, diff = t >> 2;
      const int32_t m = diff - k[1];
      const bool negative = m < 0;
      const int32_t mag = negative ? -m - 1 : m;
      bw.Put((negative ? 4u : 0u) | static_cast<uint32_t>(low), 3);
      const int32_t high = mag >> nbits;
      if (high < 12) {
        bw.Put(1, static_cast<unsigned>(high) + 1);
      } else {
        bw.Put(0, 12);
        bw.Put(static_cast<uint32_t>(high) << 1, static_cast<unsigned>(16 - nbits));
      }
      bw.Put(static_cast<uint32_t>(mag) & ((1u << nbits) - 1), static_cast<unsigned>(nbits));
      k[0] = mag;
      k[1] = (diff * 3 + k[1]) >> 5;
      k[2] = k[0] > 16 ? 0 : k[2] + 1;
    }
  }
  bw.Put(0, 7);  // pads the last byte with zeros
  return std::string(7, '\0') + bw.Bytes();
}

} // namespace korv::test
