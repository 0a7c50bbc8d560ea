// Lossless JPEG decoder: marker walk up to the first scan, then the scan's
// differences line by line. Huffman codes go through lookup tables that also
// hold the difference itself when code and extra bits fit in the peek, so most
// samples cost one table step. Bytes come from a span or from positioned reads
// in 64 KiB blocks; nothing is sized by a length read from the stream except
// the two line buffers, which the frame bounds check caps first.
#include "readers/tiff/lossless_jpeg.h"

#include <string>
#include <utility>
#include <vector>

#include "readers/tiff/block_feed.h"
#include "readers/tiff/huffman_lut.h"

namespace korv {

namespace {

std::string Hex(unsigned v, int digits) {
  static const char* const hex = "0123456789ABCDEF";
  std::string s(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = hex[v & 15];
  return s;
}

std::string Binary8(unsigned v) {
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 1) s[static_cast<std::size_t>(i)] = (v & 1) ? '1' : '0';
  return s;
}

// Difference of a JPEG magnitude category s whose s extra bits are v.
inline int32_t ExtendDifference(unsigned s, uint32_t v) {
  if (s == 0) return 0;
  if (s >= 16) return 32768;  // category 16 carries no extra bits
  return v < (1u << (s - 1)) ? static_cast<int32_t>(v) - static_cast<int32_t>((1u << s) - 1)
                             : static_cast<int32_t>(v);
}

} // namespace

// One decoding: the feed, the tables, the bit reader and the line buffers.
class LjpegDecoderState {
public:
  BlockFeed feed;
  LjpegOptions opts;
  LjpegFrame frame;
  std::array<HuffmanLut, 4> tables;
  // Per table: the difference itself when the code and its extra bits fit in
  // the peek (bit 21 set, total length in bits 16-20, difference in bits 0-15),
  // else the code length and symbol (bits 16-20, bits 0-7), or 0 for a long code.
  std::array<std::array<uint32_t, 1u << HuffmanLut::LutBits>, 4> diffLut{};
  std::array<bool, 4> tableSeen{};
  bool sofSeen = false;
  bool dhtSeen = false;
  bool started = false;

  // Bit reader: `bits` valid bits in the low end of acc; `fake` of them, the
  // most recent, are zeros put in after a marker or the end of the data.
  uint64_t acc = 0;
  int bits = 0;
  int fake = 0;
  bool stopped = false;       // a marker or the end stopped the byte intake
  bool atMarker = false;      // stopped at a marker (not at the end)
  uint64_t markerPos = 0;     // position of the marker's 0xFF

  std::vector<uint16_t> prev; // previous line, before the point transform
  std::vector<uint16_t> cur;
  unsigned line = 0;
  bool firstLineOfInterval = true;
  uint64_t mcusDone = 0;
  unsigned firstShort = 0;
  bool shortSeen = false;
  unsigned bubbles = 0;

  void Trace(std::string_view s) const {
    if (opts.Trace) opts.Trace(s);
  }

  LjpegStatus Walk();
  LjpegStatus ReadFrame(unsigned marker, unsigned length, uint64_t segStart);
  void ReadTables(uint64_t segEnd);
  LjpegStatus ReadScan(uint64_t segEnd);
  void BuildDiffLut(unsigned t);

  void Fill();
  void ResetBits() {
    acc = 0;
    bits = 0;
    fake = 0;
    stopped = false;
    atMarker = false;
  }
  bool SkipMarkerAt(uint64_t pos, unsigned& marker);
  void Restart();
  int32_t DecodeDifference(unsigned t);
  int32_t AfterShortBits(unsigned t, int32_t diff);
  int32_t SampleDifference(unsigned t) {
    if (bits < 32) Fill();
    const int32_t diff = DecodeDifference(t);
    if (fake > 0 && bits < fake) return AfterShortBits(t, diff);
    return diff;
  }
  void Decode(std::span<uint16_t> out);
};

void LjpegDecoderState::Fill() {
  while (bits <= 56) {
    if (!stopped) {
      const uint8_t* d = feed.data_;
      std::size_t i = feed.idx_;
      const std::size_t n = feed.len_;
      // Plain bytes straight from the block.
      while (bits <= 56 && i + 1 < n) {
        const uint8_t b = d[i];
        if (b == 0xFF) {
          const uint8_t b2 = d[i + 1];
          if (b2 != 0) break;
          i += 2;
        } else {
          ++i;
        }
        acc = acc << 8 | b;
        bits += 8;
      }
      feed.idx_ = i;
      if (bits > 56) return;
      // Slow path: block edges, markers, the end.
      uint8_t b = 0;
      const uint64_t at = feed.Pos();
      if (feed.Next(b)) {
        if (b == 0xFF) {
          uint8_t b2 = 0;
          if (!feed.Peek(b2)) {
            stopped = true;
          } else if (b2 == 0) {
            feed.Next(b2);
            acc = acc << 8 | 0xFF;
            bits += 8;
            continue;
          } else {
            stopped = true;
            atMarker = true;
            markerPos = at;
          }
        } else {
          acc = acc << 8 | b;
          bits += 8;
          continue;
        }
      } else {
        stopped = true;
      }
    }
    acc <<= 8;
    bits += 8;
    fake += 8;
  }
}

// Steps over the marker whose 0xFF sits at pos (fill bytes 0xFF included);
// gives its code. False when there is no marker there.
bool LjpegDecoderState::SkipMarkerAt(uint64_t pos, unsigned& marker) {
  feed.Seek(pos);
  uint8_t b = 0;
  if (!feed.Next(b) || b != 0xFF) return false;
  for (unsigned guard = 0; guard < 65536; ++guard) {
    if (!feed.Next(b)) return false;
    if (b != 0xFF) {
      marker = 0xFF00u | b;
      return true;
    }
  }
  return false;
}

// At a restart boundary: drop the padding bits, step over the RSTn marker
// (looking a little ahead for it when damaged data hide it; the look-ahead is
// bounded, so that a stream without markers costs no rescans), reset the
// predictors.
void LjpegDecoderState::Restart() {
  const uint64_t pos = atMarker ? markerPos : feed.Pos();
  ResetBits();
  feed.Seek(pos);
  uint8_t b = 0;
  bool found = false;
  for (unsigned scanned = 0; scanned < 4096 && feed.Next(b); ++scanned) {
    if (b != 0xFF) continue;
    uint8_t b2 = 0;
    if (!feed.Peek(b2)) break;
    if (b2 >= 0xD0 && b2 <= 0xD7) {
      feed.Next(b2);
      found = true;
      break;
    }
    if (b2 != 0 && b2 != 0xFF) break;  // another marker: the restart's data are missing
  }
  if (!found) feed.Seek(pos);
  firstLineOfInterval = true;
}

inline int32_t LjpegDecoderState::DecodeDifference(unsigned t) {
  const uint32_t peek = static_cast<uint32_t>(acc >> (bits - static_cast<int>(HuffmanLut::LutBits))) &
                        ((1u << HuffmanLut::LutBits) - 1);
  const uint32_t e = diffLut[t][peek];
  if (e & (1u << 21)) {
    bits -= static_cast<int>((e >> 16) & 31);
    return static_cast<int16_t>(e & 0xFFFF);
  }
  unsigned len = 0;
  unsigned s = 0;
  if (e != 0) {
    len = (e >> 16) & 31;
    s = e & 0xFF;
  } else {
    const uint32_t peek16 = static_cast<uint32_t>(acc >> (bits - 16)) & 0xFFFF;
    s = tables[t].DecodeLong(peek16, len);
  }
  bits -= static_cast<int>(len);
  if (s == 0) return 0;
  if (s >= 16) return 32768;
  const uint32_t v = static_cast<uint32_t>(acc >> (bits - static_cast<int>(s))) & ((1u << s) - 1);
  bits -= static_cast<int>(s);
  return ExtendDifference(s, v);
}

void LjpegDecoderState::BuildDiffLut(unsigned t) {
  constexpr unsigned L = HuffmanLut::LutBits;
  for (uint32_t p = 0; p < (1u << L); ++p) {
    const uint16_t e = tables[t].Entry(p);
    const unsigned len = e >> 8;
    const unsigned s = e & 0xFF;
    if (len == 0) {
      diffLut[t][p] = 0;
    } else if (s < 16 && len + s <= L) {
      const uint32_t v = s == 0 ? 0 : (p >> (L - len - s)) & ((1u << s) - 1);
      const int32_t d = ExtendDifference(s, v);
      diffLut[t][p] = 1u << 21 | (len + s) << 16 | (static_cast<uint32_t>(d) & 0xFFFF);
    } else {
      diffLut[t][p] = len << 16 | s;
    }
  }
}

LjpegStatus LjpegDecoderState::ReadFrame(unsigned marker, unsigned length, uint64_t segStart) {
  Trace("Caract\u00e9ristiques images");
  feed.Seek(segStart + 2);
  uint8_t pb = 0;
  feed.Next(pb);
  const unsigned y = feed.Word();
  const unsigned x = feed.Word();
  uint8_t nf = 0;
  feed.Next(nf);
  frame.Marker = marker;
  frame.Precision = pb;
  frame.Lines = y;
  frame.SamplesPerLine = x;
  frame.FrameComponents = nf;
  frame.Components = nf;
  Trace("Nbp=" + std::to_string(pb) + " Npv=" + std::to_string(y) + " Nph=" + std::to_string(x) +
        " Nco=" + std::to_string(nf));
  for (unsigned i = 0; i < nf && i < 4; ++i) {
    uint8_t id = 0, hv = 0, tq = 0;
    feed.Next(id);
    feed.Next(hv);
    feed.Next(tq);
    frame.Component[i].Id = id;
    frame.Component[i].Sampling = hv;
    Trace(" Ind=" + Hex(id, 2) + " Ech=" + Hex(hv, 2) + " Tq=" + Hex(tq, 2));
  }
  (void)length;
  sofSeen = true;
  if (pb < 2 || pb > 16 || x == 0 || y == 0 || nf == 0 || nf > 4) return LjpegStatus::BadFrame;
  if (static_cast<uint64_t>(x) * nf > MaxLjpegLineSamples) return LjpegStatus::TooLarge;
  return LjpegStatus::Ok;
}

void LjpegDecoderState::ReadTables(uint64_t segEnd) {
  Trace("Tables de Huffman");
  dhtSeen = true;
  // One or more tables, each kept under its own identifier.
  for (unsigned guard = 0; guard < 8 && feed.Pos() + 17 <= segEnd; ++guard) {
    uint8_t tc = 0;
    feed.Next(tc);
    std::array<uint8_t, 16> counts{};
    unsigned total = 0;
    for (auto& c : counts) {
      feed.Next(c);
      total += c;
    }
    std::string ttf = "Ttf=";
    for (unsigned i = 0; i < 16; ++i) ttf += (i ? " " : "") + std::to_string(counts[i]);
    if ((tc >> 4) != 0) {
      Trace("Inf=" + Binary8(tc) + " AC - pas bon");
      feed.Seek(feed.Pos() + total);
      continue;
    }
    Trace("Inf=" + Binary8(tc) + " DC " + ttf);
    std::array<uint8_t, 256> symbols{};
    const unsigned n = total < 256 ? total : 256;
    for (unsigned i = 0; i < n; ++i) feed.Next(symbols[i]);
    if (total > n) feed.Seek(feed.Pos() + (total - n));
    const unsigned id = tc & 15;
    if (id < 4) {
      tables[id].Build(counts, std::span<const uint8_t>(symbols.data(), n));
      BuildDiffLut(id);
      tableSeen[id] = true;
    }
  }
}

LjpegStatus LjpegDecoderState::ReadScan(uint64_t segEnd) {
  Trace("Num\u00e9risation");
  if (!sofSeen || !dhtSeen) {
    Trace("SOF et/ou DHT manquant/s");
    frame.MissingTables = true;
  }
  uint8_t ns = 0;
  feed.Next(ns);
  Trace("Nco=" + std::to_string(ns));
  if (ns == 0 || ns > 4 || (sofSeen && ns > frame.FrameComponents)) return LjpegStatus::BadScan;
  frame.Components = ns;
  for (unsigned i = 0; i < ns; ++i) {
    uint8_t id = 0, td = 0;
    feed.Next(id);
    feed.Next(td);
    frame.Component[i].Id = id;
    frame.Component[i].Table = static_cast<uint8_t>((td >> 4) & 3);
    Trace(" Ind=" + std::to_string(id) + " Tda=" + Hex(td, 2));
  }
  uint8_t ss = 0, se = 0, ahal = 0;
  feed.Next(ss);
  feed.Next(se);
  feed.Next(ahal);
  Trace("Dif=" + std::to_string(ss) + " Ssp=" + std::to_string(se) + " Bas=" + Hex(ahal, 2));
  frame.Predictor = ss <= 7 ? ss : 1;
  frame.PointTransform = ahal & 15;
  if (frame.PointTransform >= 16) frame.PointTransform = 0;
  if (!sofSeen) return LjpegStatus::BadFrame;
  feed.Seek(segEnd);
  frame.DataStart = feed.Pos();
  return LjpegStatus::Ok;
}

LjpegStatus LjpegDecoderState::Walk() {
  const uint16_t soi = feed.Word();
  if (soi == 0xFFD8 || soi == 0xD8FF) {
    frame.SwappedStart = soi == 0xD8FF;
    Trace(Hex(soi, 4) + " SOI trouv\u00e9");
  } else {
    return LjpegStatus::NoSoi;
  }
  for (unsigned guard = 0; guard < 4096; ++guard) {
    // A marker may be preceded by fill bytes 0xFF.
    uint8_t b = 0;
    if (!feed.Next(b)) return LjpegStatus::NoScan;
    if (b != 0xFF) {
      Trace(Hex(b, 2));
      return LjpegStatus::NoScan;
    }
    unsigned fills = 0;
    while (b == 0xFF && fills < 65536) {
      if (!feed.Next(b)) return LjpegStatus::NoScan;
      ++fills;
    }
    const unsigned marker = 0xFF00u | b;
    if (marker == 0xFFD8 || marker == 0xFF01 || (marker >= 0xFFD0 && marker <= 0xFFD7)) {
      Trace(Hex(marker, 4));
      continue;  // segments without a length
    }
    const uint64_t segStart = feed.Pos();
    const unsigned length = feed.Word();
    Trace(Hex(marker, 4) + " " + Hex(length, 4));
    if (length < 2) return LjpegStatus::NoScan;
    const uint64_t segEnd = segStart + length;
    if (marker == 0xFFC3 || marker == 0xFFC7) {
      const LjpegStatus st = ReadFrame(marker, length, segStart);
      if (st != LjpegStatus::Ok) return st;
    } else if ((marker >= 0xFFC0 && marker <= 0xFFCF) && marker != 0xFFC4 && marker != 0xFFC8 &&
               marker != 0xFFCC) {
      Trace("Caract\u00e9ristiques images");
      return LjpegStatus::NotLossless;
    } else if (marker == 0xFFC4) {
      ReadTables(segEnd);
    } else if (marker == 0xFFDA) {
      return ReadScan(segEnd);
    } else if (marker == 0xFFDB) {
      Trace("Table de quantification");
    } else if (marker == 0xFFDD) {
      const unsigned ri = feed.Word();
      frame.RestartInterval = ri;
      Trace("DRI=" + std::to_string(ri));
    } else if (marker >= 0xFFE0 && marker <= 0xFFEF) {
      Trace("APP" + Hex(marker & 15, 1) + ", pas trait\u00e9");
    } else if (marker == 0xFFFE) {
      Trace("COM, pas trait\u00e9");
    } else if (marker == 0xFFF7) {
      Trace("JPEG-LS, pas encore trait\u00e9");
      return LjpegStatus::NotLossless;
    } else if (marker == 0xFFD9) {
      return LjpegStatus::NoScan;
    } else if (marker == 0xFFC8 || marker == 0xFFCC || (marker >= 0xFFF0 && marker <= 0xFFFD) ||
               marker == 0xFFDC || marker == 0xFFDE || marker == 0xFFDF) {
      // Reserved, arithmetic conditioning, number of lines, hierarchical: skipped.
    } else {
      return LjpegStatus::NoScan;
    }
    feed.Seek(segEnd);
    if (feed.AtEnd()) return LjpegStatus::NoScan;
  }
  return LjpegStatus::NoScan;
}

// Data that ran short: a marker met inside the data is stepped over and the
// sample decoded again from the bits after it; the end of the data is noted.
int32_t LjpegDecoderState::AfterShortBits(unsigned t, int32_t diff) {
  if (atMarker) {
    // The end of the image ends the data: what follows it is not this stream's.
    unsigned m = 0;
    const uint64_t here = feed.Pos();
    if (SkipMarkerAt(markerPos, m) && m == 0xFFD9) atMarker = false;
    feed.Seek(here);
  }
  if (atMarker) {
    // The first few are traced; a damaged stream can hold thousands.
    if (++bubbles <= 16) Trace("Bulle de flux");
    unsigned m = 0;
    const uint64_t at = markerPos;
    ResetBits();
    if (!SkipMarkerAt(at, m)) feed.Seek(at + 1);
    Fill();
    diff = DecodeDifference(t);
  }
  if (fake > 0 && bits < fake && !atMarker && !shortSeen) {
    shortSeen = true;
    firstShort = line;
  }
  if (bits < 0) bits = 0;
  if (fake > bits) fake = bits;
  return diff;
}

void LjpegDecoderState::Decode(std::span<uint16_t> out) {
  const unsigned nc = frame.Components;
  const unsigned x = frame.SamplesPerLine;
  const std::size_t n = static_cast<std::size_t>(x) * nc;
  if (line >= frame.Lines) {
    for (auto& v : out) v = 0;
    return;
  }
  // Restarts fall on line boundaries in lossless JPEG.
  const uint64_t ri = frame.RestartInterval;
  if (ri != 0 && line != 0 && (mcusDone % ri) == 0) Restart();

  const unsigned pt = frame.PointTransform;
  const int shift = static_cast<int>(frame.Precision) - static_cast<int>(pt) - 1;
  const uint32_t initial = 1u << (shift > 0 ? shift : 0);
  const bool first = firstLineOfInterval;
  const bool raw = opts.RawDifferences;
  const unsigned psel = frame.Predictor;
  std::array<unsigned, 4> tab{};
  for (unsigned c = 0; c < nc; ++c) tab[c] = frame.Component[c].Table;
  uint16_t* curp = cur.data();
  const uint16_t* up = prev.data();
  // The first sample of each component: from above, or the initial value.
  std::size_t i = 0;
  for (; i < nc && i < n; ++i) {
    const int32_t diff = SampleDifference(tab[i]);
    const uint32_t pred = (raw || psel == 0) ? 0 : first ? initial : up[i];
    curp[i] = static_cast<uint16_t>(pred + static_cast<uint32_t>(diff));
  }
  unsigned c = 0;
  auto next = [&] {
    const unsigned t = tab[c];
    if (++c == nc) c = 0;
    return SampleDifference(t);
  };
  if (raw || psel == 0) {
    for (; i < n; ++i) curp[i] = static_cast<uint16_t>(next());
  } else if (first || psel == 1) {
    for (; i < n; ++i) curp[i] = static_cast<uint16_t>(curp[i - nc] + static_cast<uint32_t>(next()));
  } else {
    for (; i < n; ++i) {
      const int32_t ra = curp[i - nc];
      const int32_t rb = up[i];
      const int32_t rc = up[i - nc];
      int32_t pred;
      switch (psel) {
      case 2: pred = rb; break;
      case 3: pred = rc; break;
      case 4: pred = ra + rb - rc; break;
      case 5: pred = ra + ((rb - rc) >> 1); break;
      case 6: pred = rb + ((ra - rc) >> 1); break;
      default: pred = (ra + rb) >> 1; break;
      }
      curp[i] = static_cast<uint16_t>(static_cast<uint32_t>(pred) + static_cast<uint32_t>(next()));
    }
  }
  const std::size_t m = out.size() < n ? out.size() : n;
  if (pt == 0) {
    for (std::size_t k = 0; k < m; ++k) out[k] = curp[k];
  } else {
    for (std::size_t k = 0; k < m; ++k) out[k] = static_cast<uint16_t>(curp[k] << pt);
  }
  for (std::size_t k = m; k < out.size(); ++k) out[k] = 0;
  cur.swap(prev);
  firstLineOfInterval = false;
  mcusDone += x;
  ++line;
}

std::string_view LjpegMessage(LjpegStatus status) {
  switch (status) {
  case LjpegStatus::Ok: return "";
  case LjpegStatus::NoSoi: return "SOI pas trouv\u00e9";
  case LjpegStatus::NotLossless: return "Compression pas support\u00e9e";
  case LjpegStatus::BadFrame: return "JPEG sans perte : en-t\u00eate d'image incorrect";
  case LjpegStatus::TooLarge: return "JPEG sans perte : image trop grande";
  case LjpegStatus::NoScan: return "JPEG sans perte : pas de donn\u00e9es d'image";
  case LjpegStatus::BadScan: return "JPEG sans perte : en-t\u00eate de num\u00e9risation incorrect";
  }
  return "";
}

LosslessJpegDecoder::LosslessJpegDecoder() : s_(std::make_unique<LjpegDecoderState>()) {}
LosslessJpegDecoder::~LosslessJpegDecoder() = default;
LosslessJpegDecoder::LosslessJpegDecoder(LosslessJpegDecoder&&) noexcept = default;
LosslessJpegDecoder& LosslessJpegDecoder::operator=(LosslessJpegDecoder&&) noexcept = default;

namespace {

LjpegStatus StartCommon(LjpegDecoderState& s) {
  const LjpegStatus st = s.Walk();
  if (st != LjpegStatus::Ok) return st;
  const std::size_t n = static_cast<std::size_t>(s.frame.SamplesPerLine) * s.frame.Components;
  s.prev.assign(n, 0);
  s.cur.assign(n, 0);
  s.line = 0;
  s.firstShort = s.frame.Lines;
  s.started = true;
  s.feed.Seek(s.frame.DataStart);
  s.ResetBits();
  return LjpegStatus::Ok;
}

} // namespace

LjpegStatus LosslessJpegDecoder::Start(std::span<const uint8_t> stream, const LjpegOptions& options) {
  s_ = std::make_unique<LjpegDecoderState>();
  s_->opts = options;
  s_->feed.UseMemory(stream);
  return StartCommon(*s_);
}

LjpegStatus LosslessJpegDecoder::Start(LjpegReadAt read, uint64_t size, const LjpegOptions& options) {
  s_ = std::make_unique<LjpegDecoderState>();
  s_->opts = options;
  s_->feed.UseReader(std::move(read), size, options.BlockBytes);
  return StartCommon(*s_);
}

const LjpegFrame& LosslessJpegDecoder::Frame() const { return s_->frame; }

void LosslessJpegDecoder::DecodeLine(std::span<uint16_t> out) {
  if (!s_->started) {
    for (auto& v : out) v = 0;
    return;
  }
  s_->Decode(out);
}

unsigned LosslessJpegDecoder::LinesDecoded() const { return s_->line; }
unsigned LosslessJpegDecoder::FirstShortLine() const {
  return s_->shortSeen ? s_->firstShort : s_->frame.Lines;
}
unsigned LosslessJpegDecoder::Bubbles() const { return s_->bubbles; }

} // namespace korv
