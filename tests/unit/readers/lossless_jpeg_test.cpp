// Lossless JPEG decoder on its own: streams written by DCMTK's encoder (the
// fixtures) and by the test encoder (every predictor, restarts, tables under
// their identifiers, damaged and truncated data).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "readers/tiff/huffman_lut.h"
#include "readers/tiff/lossless_jpeg.h"
#include "tests/raw_encoders.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using Samples = std::vector<uint16_t>;

std::span<const uint8_t> AsBytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Decodes every line of a stream; the status and trace come back too.
struct Decoded {
  LjpegStatus Status = LjpegStatus::Ok;
  LjpegFrame Frame;
  Samples Values;
  std::string Trace;
  unsigned FirstShort = 0;
  unsigned Bubbles = 0;
};

Decoded DecodeAll(const std::string& stream, bool viaReads = false, unsigned maxLines = 100000) {
  Decoded d;
  LosslessJpegDecoder dec;
  LjpegOptions o;
  o.Trace = [&](std::string_view l) { d.Trace.append(l).push_back('\n'); };
  if (viaReads) {
    auto read = [&stream](uint64_t off, std::span<uint8_t> out) -> std::size_t {
      if (off >= stream.size()) return 0;
      const std::size_t n = std::min<std::size_t>(out.size(), stream.size() - off);
      std::copy_n(stream.data() + off, n, out.data());
      return n;
    };
    d.Status = dec.Start(read, stream.size(), o);
  } else {
    d.Status = dec.Start(AsBytes(stream), o);
  }
  d.Frame = dec.Frame();
  if (d.Status != LjpegStatus::Ok) return d;
  Samples line(d.Frame.LineSamples());
  for (unsigned y = 0; y < d.Frame.Lines && y < maxLines; ++y) {
    dec.DecodeLine(line);
    d.Values.insert(d.Values.end(), line.begin(), line.end());
  }
  d.FirstShort = dec.FirstShortLine();
  d.Bubbles = dec.Bubbles();
  return d;
}

// Smooth random samples of the given precision (differences of all sizes).
Samples MakeSamples(std::size_t n, unsigned bits, unsigned seed, int step = 300) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-step, step);
  Samples s(n);
  int v = 1 << (bits - 1);
  const int top = (1 << bits) - 1;
  for (auto& x : s) {
    v += d(rng);
    if (v < 0) v = -v;
    if (v > top) v = 2 * top - v;
    x = static_cast<uint16_t>(v);
  }
  return s;
}

TEST(LosslessJpeg, StreamsFromDcmtkDecodeToTheirSourceSamples) {
  const std::filesystem::path dir = std::filesystem::path(KORV_SOURCE_DIR) / "tests/fixtures/ljpeg";
  const struct {
    const char* name;
    unsigned lines, x, nc, pt;
  } cases[] = {
      {"grey12_sv1", 37, 53, 1, 0}, {"grey12_sv2", 37, 53, 1, 0}, {"grey12_sv3", 37, 53, 1, 0},
      {"grey12_sv4", 37, 53, 1, 0}, {"grey12_sv5", 37, 53, 1, 0}, {"grey12_sv6", 37, 53, 1, 0},
      {"grey12_sv7", 37, 53, 1, 0}, {"grey16_sv1", 29, 41, 1, 0}, {"grey10_pt2", 23, 31, 1, 2},
      {"rgb8_sv1", 17, 19, 3, 0},   {"rgb8_sv5", 17, 19, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stream = test::ReadFile(dir / (std::string(c.name) + ".ljpg"));
    const std::string raw = test::ReadFile(dir / (std::string(c.name) + ".u16"));
    const Decoded d = DecodeAll(stream);
    ASSERT_EQ(d.Status, LjpegStatus::Ok);
    EXPECT_EQ(d.Frame.Lines, c.lines);
    EXPECT_EQ(d.Frame.SamplesPerLine, c.x);
    EXPECT_EQ(d.Frame.Components, c.nc);
    EXPECT_EQ(d.Frame.PointTransform, c.pt);
    ASSERT_EQ(d.Values.size() * 2, raw.size());
    unsigned wrong = 0;
    for (std::size_t i = 0; i < d.Values.size(); ++i) {
      const unsigned src = static_cast<uint8_t>(raw[2 * i]) | static_cast<uint8_t>(raw[2 * i + 1]) << 8;
      wrong += d.Values[i] != ((src >> c.pt) << c.pt);
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(d.FirstShort, c.lines);
    EXPECT_EQ(d.Bubbles, 0u);
  }
}

TEST(LosslessJpeg, EveryPredictorWithOneTwoAndFourComponentsAndRestarts) {
  for (unsigned nc : {1u, 2u, 4u}) {
    for (unsigned pred = 0; pred <= 7; ++pred) {
      for (unsigned restart : {0u, 3u}) {
        SCOPED_TRACE("nc " + std::to_string(nc) + " predictor " + std::to_string(pred) +
                     " restart lines " + std::to_string(restart));
        const unsigned lines = 13, x = 21;
        const Samples src = MakeSamples(static_cast<std::size_t>(lines) * x * nc, 14, pred * 7 + nc);
        test::LjpegEncodeOptions o;
        o.Precision = 14;
        o.Predictor = pred;
        o.RestartInterval = restart * x;
        const Decoded d = DecodeAll(test::EncodeLosslessJpeg(src, lines, x, nc, o));
        ASSERT_EQ(d.Status, LjpegStatus::Ok);
        EXPECT_EQ(d.Frame.RestartInterval, restart * x);
        EXPECT_EQ(d.Values, src);
        EXPECT_EQ(d.Bubbles, 0u);
      }
    }
  }
}

TEST(LosslessJpeg, SixteenBitDifferencesOfCategorySixteenCarryNoExtraBits) {
  // Alternating 0 and 32768: every difference is 32768 (category 16).
  Samples src(8 * 9);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = (i % 2) ? 32768 : 0;
  src[0] = 32768;
  test::LjpegEncodeOptions o;
  o.Precision = 16;
  const Decoded d = DecodeAll(test::EncodeLosslessJpeg(src, 8, 9, 1, o));
  ASSERT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_EQ(d.Values, src);
}

TEST(LosslessJpeg, TablesAreFoundByTheirIdentifierNotTheirPlace) {
  // Two different codes; component 0 uses identifier 1, component 1 identifier 0,
  // written in reverse order, in one segment and in a segment each.
  test::HuffCodes a = test::DefaultLosslessSpec();
  test::HuffCodes b;
  b.Counts = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 0};
  b.Symbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  b.Assign();
  const Samples src = MakeSamples(11 * 17 * 2, 12, 5);
  for (bool perSegment : {false, true}) {
    SCOPED_TRACE(perSegment ? "one segment per table" : "tables in one segment");
    test::LjpegEncodeOptions o;
    o.TableOfComponent = {1, 0, 0, 0};
    o.TableOrder = {0, 1};
    o.OneSegmentPerTable = perSegment;
    const Decoded d = DecodeAll(test::EncodeLosslessJpeg(src, 11, 17, 2, o, {a, b, a, a}));
    ASSERT_EQ(d.Status, LjpegStatus::Ok);
    EXPECT_EQ(d.Values, src);
  }
}

TEST(LosslessJpeg, CodesLongerThanTheLookupAreResolved) {
  // Every category has a code of 12 to 16 bits: the lookup never settles one.
  test::HuffCodes h;
  h.Counts = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 6, 4};
  h.Symbols = {6, 5, 7, 4, 8, 3, 9, 2, 10, 1, 11, 0, 12, 13, 14, 15, 16};
  h.Assign();
  const Samples src = MakeSamples(9 * 31, 16, 9, 5000);
  test::LjpegEncodeOptions o;
  o.Precision = 16;
  const Decoded d = DecodeAll(test::EncodeLosslessJpeg(src, 9, 31, 1, o, {h, h, h, h}));
  ASSERT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_EQ(d.Values, src);
}

TEST(LosslessJpeg, BlockReadsGiveWhatTheSpanGives) {
  // Over 64 KiB of data, so that blocks are refilled inside the scan.
  const Samples src = MakeSamples(240 * 260, 16, 3, 20000);
  test::LjpegEncodeOptions o;
  o.Precision = 16;
  o.RestartInterval = 260 * 7;
  const std::string stream = test::EncodeLosslessJpeg(src, 240, 260, 1, o);
  ASSERT_GT(stream.size(), 3u * 65536);
  const Decoded a = DecodeAll(stream, false);
  const Decoded b = DecodeAll(stream, true);
  EXPECT_EQ(a.Values, src);
  EXPECT_EQ(b.Values, src);
}

TEST(LosslessJpeg, StartOfStreamAndFrameKind) {
  const Samples src = MakeSamples(4 * 5, 12, 1);
  test::LjpegEncodeOptions o;
  o.SwapSoi = true;
  Decoded d = DecodeAll(test::EncodeLosslessJpeg(src, 4, 5, 1, o));
  EXPECT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_TRUE(d.Frame.SwappedStart);
  EXPECT_EQ(d.Values, src);

  std::string s = test::EncodeLosslessJpeg(src, 4, 5, 1);
  s[0] = 0;
  d = DecodeAll(s);
  EXPECT_EQ(d.Status, LjpegStatus::NoSoi);
  EXPECT_EQ(LjpegMessage(d.Status), "SOI pas trouv\u00e9");

  // Baseline and extended DCT frames are not lossless JPEG.
  for (unsigned m : {0xC0u, 0xC1u, 0xC2u}) {
    o = {};
    o.Marker = m;
    d = DecodeAll(test::EncodeLosslessJpeg(src, 4, 5, 1, o));
    EXPECT_EQ(d.Status, LjpegStatus::NotLossless);
    EXPECT_EQ(LjpegMessage(d.Status), "Compression pas support\u00e9e");
  }
  // SOF7 frames are read as SOF3 ones.
  o = {};
  o.Marker = 0xC7;
  d = DecodeAll(test::EncodeLosslessJpeg(src, 4, 5, 1, o));
  EXPECT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_EQ(d.Values, src);
}

TEST(LosslessJpeg, HostileFramesAreRefusedBeforeAnyBuffer) {
  const Samples src = MakeSamples(4 * 5, 12, 1);
  std::string s = test::EncodeLosslessJpeg(src, 4, 5, 1);
  // Frame header: FF C3, length, P at 6, Y at 7, X at 9, Nf at 11.
  auto patched = [&](std::size_t at, std::initializer_list<uint8_t> bytes) {
    std::string t = s;
    std::size_t i = at;
    for (auto b : bytes) t[i++] = static_cast<char>(b);
    return DecodeAll(t, false, 2).Status;
  };
  EXPECT_EQ(patched(7, {0xFF, 0xFF}), LjpegStatus::Ok);  // 65535 lines of 5: fits
  // 65535 x 65535: lines stream through two line buffers, nothing larger.
  EXPECT_EQ(patched(7, {0xFF, 0xFF, 0xFF, 0xFF}), LjpegStatus::Ok);
  EXPECT_EQ(patched(7, {0, 0}), LjpegStatus::BadFrame);  // no lines
  EXPECT_EQ(patched(6, {1}), LjpegStatus::BadFrame);     // precision 1
  EXPECT_EQ(patched(6, {17}), LjpegStatus::BadFrame);
  EXPECT_EQ(patched(11, {5}), LjpegStatus::BadFrame);    // five components
  EXPECT_EQ(DecodeAll(s.substr(0, 40)).Status, LjpegStatus::NoScan);
}

TEST(LosslessJpeg, TruncatedDataDecodeAsZerosAndAreCounted) {
  const Samples src = MakeSamples(40 * 50, 12, 2);
  const std::string s = test::EncodeLosslessJpeg(src, 40, 50, 1);
  const Decoded full = DecodeAll(s);
  const Decoded d = DecodeAll(s.substr(0, s.size() / 2));
  ASSERT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_GT(d.FirstShort, 5u);
  EXPECT_LT(d.FirstShort, 35u);
  // Lines before the first short one are intact.
  for (std::size_t i = 0; i < static_cast<std::size_t>(d.FirstShort) * 50; ++i)
    ASSERT_EQ(d.Values[i], src[i]) << i;
  EXPECT_EQ(full.FirstShort, 40u);
}

TEST(LosslessJpeg, AMarkerInsideTheDataIsABubbleAndDecodingGoesOn) {
  // Restart markers where none is due: each is stepped over and traced.
  const Samples src = MakeSamples(6 * 40, 12, 4);
  test::LjpegEncodeOptions o;
  o.RestartInterval = 80;
  std::string s = test::EncodeLosslessJpeg(src, 6, 40, 1, o);
  // Drop the DRI segment (FF DD 00 04 xx xx) so that the RSTn markers are stray.
  const std::size_t dri = s.find("\xFF\xDD");
  ASSERT_NE(dri, std::string::npos);
  s.erase(dri, 6);
  const Decoded d = DecodeAll(s);
  ASSERT_EQ(d.Status, LjpegStatus::Ok);
  EXPECT_EQ(d.Bubbles, 2u);
  EXPECT_NE(d.Trace.find("Bulle de flux"), std::string::npos);
  // The lines before the first stray marker are right.
  for (std::size_t i = 0; i < 80; ++i) ASSERT_EQ(d.Values[i], src[i]);
}

TEST(HuffmanLut, EmptyAndIncompleteTablesDecodeAsSymbolZero) {
  HuffmanLut empty;
  unsigned len = 9;
  EXPECT_EQ(empty.Decode(0xFFFF, len), 0);
  EXPECT_EQ(len, 0u);
  // Codes 00, 01, 100 only: 101..111 are not codes.
  HuffmanLut t;
  const std::array<uint8_t, 16> counts{0, 2, 1};
  const std::array<uint8_t, 3> symbols{7, 8, 9};
  t.Build(counts, symbols);
  EXPECT_EQ(t.Decode(0x4000, len), 8);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(t.Decode(0x8000, len), 9);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(t.Decode(0xFFFF, len), 0);
  EXPECT_EQ(len, 3u);
}

} // namespace
} // namespace korv
