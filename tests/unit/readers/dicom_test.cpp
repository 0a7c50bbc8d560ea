// DICOM reader: the run-length segment decoder on its own, then whole runs over
// small files built here element by element (explicit and implicit, both byte
// orders, encapsulated fragments), and the stops on damaged or unsupported data.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "readers/dicom/rle_segment.h"
#include "tests/test_support.h"

namespace korv {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;

// --- Run-length segments -------------------------------------------------------

std::string Decoded(RleSegmentDecoder& d, std::size_t n, std::size_t* got = nullptr) {
  std::vector<uint8_t> out(n, 0xEE);
  const std::size_t g = d.Decode(out);
  if (got) *got = g;
  return std::string(out.begin(), out.end());
}

TEST(DicomRleSegment, RunsLiteralsAndNoOperation) {
  // 2 literals, -128 (nothing), a run of 4, a literal of 1.
  const Bytes seg = {0x01, 'a', 'b', 0x80, 0xFD, 'x', 0x00, 'z'};
  RleSegmentDecoder d(seg);
  EXPECT_EQ(Decoded(d, 7), "abxxxxz");
  // Runs go on across calls: a row may end inside one.
  RleSegmentDecoder e(seg);
  EXPECT_EQ(Decoded(e, 3), "abx");
  EXPECT_EQ(Decoded(e, 4), "xxxz");
  // Past the segment's end the bytes are zeros, and the count says so.
  std::size_t got = 0;
  EXPECT_EQ(Decoded(e, 2, &got), std::string(2, '\0'));
  EXPECT_EQ(got, 0u);
  // A literal cut short gives what is there.
  const Bytes cut = {0x05, 'p', 'q'};
  RleSegmentDecoder c(cut);
  EXPECT_EQ(Decoded(c, 4, &got), std::string("pq\0\0", 4));
  EXPECT_EQ(got, 2u);
  RleSegmentDecoder s(seg);
  EXPECT_EQ(s.Skip(100), 7u);
}

Bytes RleFrame(std::vector<Bytes> segments, uint32_t countOverride = 0) {
  Bytes f(RleHeaderBytes, 0);
  const auto put = [&](std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, countOverride ? countOverride : static_cast<uint32_t>(segments.size()));
  for (std::size_t i = 0; i < segments.size(); ++i) {
    put(4 + 4 * i, static_cast<uint32_t>(f.size()));
    f.insert(f.end(), segments[i].begin(), segments[i].end());
  }
  return f;
}

TEST(DicomRleSegment, HeaderIsCheckedAgainstTheFrame) {
  RleHeader h;
  Bytes f = RleFrame({{0x00, 1}, {0x00, 2, 0x00}});
  ASSERT_EQ(ReadRleHeader(f, h), RleHeaderStatus::Ok);
  EXPECT_EQ(h.SegmentCount, 2u);
  EXPECT_EQ(RleSegment(f, h, 0).size(), 2u);
  EXPECT_EQ(RleSegment(f, h, 1).size(), 3u);
  EXPECT_TRUE(RleSegment(f, h, 2).empty());

  EXPECT_EQ(ReadRleHeader(Bytes(63, 0), h), RleHeaderStatus::TooShort);
  EXPECT_EQ(ReadRleHeader(RleFrame({{0}}, 16), h), RleHeaderStatus::BadCount);
  EXPECT_EQ(ReadRleHeader(RleFrame({}, 0), h), RleHeaderStatus::BadCount);
  Bytes back = RleFrame({{0x00, 1}, {0x00, 2}});
  back[8] = 10; // second segment inside the header
  EXPECT_EQ(ReadRleHeader(back, h), RleHeaderStatus::BadOffset);
  Bytes beyond = RleFrame({{0x00, 1}});
  beyond[5] = 0x10; // offset far past the frame
  EXPECT_EQ(ReadRleHeader(beyond, h), RleHeaderStatus::BadOffset);
}

// --- Files built element by element --------------------------------------------

struct Builder {
  bool Big = false; // data set byte order (the meta group stays little-endian)
  Bytes Out;

  void U16(uint16_t v, bool big) {
    if (big) {
      Out.push_back(static_cast<uint8_t>(v >> 8));
      Out.push_back(static_cast<uint8_t>(v));
    } else {
      Out.push_back(static_cast<uint8_t>(v));
      Out.push_back(static_cast<uint8_t>(v >> 8));
    }
  }
  void U32(uint32_t v, bool big) {
    if (big) {
      U16(static_cast<uint16_t>(v >> 16), true);
      U16(static_cast<uint16_t>(v), true);
    } else {
      U16(static_cast<uint16_t>(v), false);
      U16(static_cast<uint16_t>(v >> 16), false);
    }
  }
  void Raw(const Bytes& b) { Out.insert(Out.end(), b.begin(), b.end()); }
  void Explicit(uint16_t g, uint16_t e, const char* vr, const Bytes& value) {
    const bool big = Big && g != 2;
    U16(g, big);
    U16(e, big);
    Out.push_back(static_cast<uint8_t>(vr[0]));
    Out.push_back(static_cast<uint8_t>(vr[1]));
    const std::string v(vr);
    if (v == "OB" || v == "OW" || v == "SQ" || v == "UN" || v == "UT") {
      U16(0, big);
      U32(static_cast<uint32_t>(value.size()), big);
    } else {
      U16(static_cast<uint16_t>(value.size()), big);
    }
    Raw(value);
  }
  void Text(uint16_t g, uint16_t e, const char* vr, std::string s) {
    if (s.size() % 2) s += (std::string(vr) == "UI") ? '\0' : ' ';
    Explicit(g, e, vr, Bytes(s.begin(), s.end()));
  }
  void Us(uint16_t g, uint16_t e, uint16_t v) {
    Bytes b;
    if (Big) b = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    else b = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    Explicit(g, e, "US", b);
  }
  void Implicit(uint16_t g, uint16_t e, const Bytes& value, uint32_t length = 0) {
    U16(g, false);
    U16(e, false);
    U32(length ? length : static_cast<uint32_t>(value.size()), false);
    Raw(value);
  }
  void Item(uint16_t e, uint32_t length) {
    U16(0xFFFE, false);
    U16(e, false);
    U32(length, false);
  }
  // Preamble, "DICM" and the meta group with its transfer syntax.
  void Start(const std::string& syntax) {
    Out.assign(128, 0);
    Raw({'D', 'I', 'C', 'M'});
    Text(0x0002, 0x0010, "UI", syntax);
  }
  void Image(uint16_t width, uint16_t height, uint16_t bits, uint16_t samples = 1,
             uint16_t stored = 0, uint16_t pixelRep = 0) {
    Us(0x0028, 0x0002, samples);
    Us(0x0028, 0x0010, height);
    Us(0x0028, 0x0011, width);
    Us(0x0028, 0x0100, bits);
    Us(0x0028, 0x0101, stored ? stored : bits);
    Us(0x0028, 0x0102, static_cast<uint16_t>((stored ? stored : bits) - 1));
    Us(0x0028, 0x0103, pixelRep);
  }
  std::string str() const { return std::string(Out.begin(), Out.end()); }
};

const std::string ExplicitLe = "1.2.840.10008.1.2.1";
const std::string RleSyntax = "1.2.840.10008.1.2.5";

struct Result {
  int Status = -1;
  std::string Console;
  std::vector<int64_t> Values; // FITS order: bottom row first
};

// Converts the bytes as name.dcm and reads the 16-bit FITS samples back.
Result Convert(const std::string& bytes, std::vector<std::string> options = {},
               const std::string& name = "t", const std::string& image = "") {
  WriteFile(name + ".dcm", bytes);
  std::vector<std::string> args = {"korvalix", name + ".dcm" + image};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out;
  Result r;
  r.Status = Run(args, out);
  r.Console = out.str();
  if (!std::filesystem::exists(name + ".fit")) return r;
  const std::string f = ReadFile(name + ".fit");
  std::size_t end = f.find("END     ");
  while (end != std::string::npos && end % 80 != 0) end = f.find("END     ", end + 1);
  if (end == std::string::npos) return r;
  long width = 0, height = 0;
  for (std::size_t p = 0; p < end; p += 80) {
    if (f.compare(p, 8, "NAXIS1  ") == 0) width = std::stol(f.substr(p + 10, 20));
    if (f.compare(p, 8, "NAXIS2  ") == 0) height = std::stol(f.substr(p + 10, 20));
  }
  const std::size_t data = (end + 80 + 2879) / 2880 * 2880;
  for (long i = 0; i < width * height && data + 2 * i + 1 < f.size(); ++i) {
    const auto* b = reinterpret_cast<const unsigned char*>(f.data() + data + 2 * i);
    r.Values.push_back(static_cast<int16_t>((b[0] << 8) | b[1]) + 32768);
  }
  return r;
}

bool Has(const Result& r, const std::string& text) {
  return r.Console.find(text) != std::string::npos;
}

TEST(DicomWalk, SignatureAndStartOfTheWalk) {
  ScratchDir dir;
  Builder b;
  b.Start(ExplicitLe);
  b.Image(2, 1, 8);
  b.Explicit(0x7FE0, 0x0010, "OB", {7, 9});
  Result r = Convert(b.str());
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(Has(r, "Sig=00 00 00 00 - pas bon\nSig=DICM - bon\n  132 0002,0010 UI  20 "))
      << r.Console;
  EXPECT_TRUE(Has(r, "Cpr=1 (1.2.840.10008.1.2.1)\nNsb=gris\n")) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{7, 9}));

  // ACR-NEMA: implicit elements from byte 0, the switch seen at the first one.
  Builder a;
  a.Implicit(0x0008, 0x0000, {4, 0, 0, 0});
  a.Implicit(0x0008, 0x0060, {'R', 'F'});
  a.Implicit(0x0028, 0x0010, {1, 0});
  a.Implicit(0x0028, 0x0011, {2, 0});
  a.Implicit(0x0028, 0x0100, {8, 0});
  a.Implicit(0x7FE0, 0x0010, {3, 4});
  r = Convert(a.str(), {}, "acr");
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_TRUE(Has(r, "Sig=08 00 00 00\n    0 0008,0000 -- 4 taille du groupe=4 -> 16\n"))
      << r.Console;
  EXPECT_TRUE(Has(r, "   22 0028,0010 -- 2 Npv=1\n")) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{3, 4}));

  // Neither: refused, nothing written.
  r = Convert(std::string(200, 'x'), {}, "bad");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Sig=xxxx - pas bon\nPas du DICOM !\n")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("bad.fit"));
}

TEST(DicomWalk, SequencesItemsAndGroupJumps) {
  ScratchDir dir;
  Builder b;
  b.Start(ExplicitLe);
  b.Image(1, 1, 16);
  // An icon in a sequence of undefined length: its geometry and pixel data
  // are not the image's.
  b.Explicit(0x0088, 0x0200, "SQ", {});
  b.Out.resize(b.Out.size() - 4);
  b.U32(0xFFFFFFFF, false);
  b.Item(0xE000, 0xFFFFFFFF);
  b.Us(0x0028, 0x0010, 9);
  b.Explicit(0x7FE0, 0x0010, "OW", {1, 0});
  b.Item(0xE00D, 0);
  b.Item(0xE0DD, 0);
  // A group of commands stepped over by its length.
  b.Explicit(0x0000, 0x0000, "UL", {10, 0, 0, 0});
  b.Explicit(0x0000, 0x0100, "US", {0, 0});
  b.Explicit(0x0000, 0x0100, "XX", {});
  b.Explicit(0x7FE0, 0x0010, "OW", {0x34, 0x12});
  Result r = Convert(b.str());
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0x1234}));
  EXPECT_FALSE(Has(r, "Npv=9")) << r.Console;
  EXPECT_TRUE(Has(r, "0000,0100 -> ")) << r.Console;

  // A private high group without a group length ahead is walked as it stands.
  Builder p;
  p.Start(ExplicitLe);
  p.Image(1, 1, 16);
  p.Explicit(0x0008, 0x0000, "UL", {0, 0, 0, 0}); // group 8 ends here
  p.Text(0x7FDF, 0x0010, "LO", "VENDOR");
  p.Explicit(0x7FE0, 0x0010, "OW", {5, 0});
  r = Convert(p.str(), {}, "p");
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{5}));

  // An implicit sequence of undefined length is walked, not skipped by 4 GiB.
  Builder s;
  s.Implicit(0x0008, 0x0005, {'I', 'S', 'O', ' '});
  s.Implicit(0x0008, 0x1140, {}, 0xFFFFFFFF);
  s.Item(0xE000, 0xFFFFFFFF);
  s.Implicit(0x0008, 0x1150, {'1', 0});
  s.Item(0xE00D, 0);
  s.Item(0xE0DD, 0);
  s.Implicit(0x0028, 0x0010, {1, 0});
  s.Implicit(0x0028, 0x0011, {1, 0});
  s.Implicit(0x0028, 0x0100, {16, 0});
  s.Implicit(0x7FE0, 0x0010, {0x10, 0x00});
  r = Convert(s.str(), {}, "s");
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{16}));
}

TEST(DicomWalk, MetadataAndThePatientName) {
  ScratchDir dir;
  Builder b;
  b.Start(ExplicitLe);
  b.Text(0x0008, 0x0022, "DA", "20240315");
  b.Text(0x0008, 0x0032, "TM", "120000.000");
  b.Text(0x0008, 0x0060, "CS", "MR");
  b.Text(0x0008, 0x0070, "LO", "MAKER");
  b.Text(0x0010, 0x0010, "PN", "Doe^Jane");
  b.Text(0x0018, 0x0015, "CS", "HEAD");
  b.Image(1, 1, 16);
  b.Explicit(0x7FE0, 0x0010, "OW", {1, 0});
  Result r = Convert(b.str());
  ASSERT_EQ(r.Status, 0) << r.Console;
  std::string header = ReadFile("t.fit").substr(0, 2880);
  EXPECT_NE(header.find("EPEPINAG= '16:16x1 1 1x1 MR 1.2.840.10008.1.2.1'"), std::string::npos);
  EXPECT_NE(header.find("DATE-OBS= '2024-03-15T12:00:00"), std::string::npos) << header;
  EXPECT_NE(header.find("DETECTOR= 'MAKER'"), std::string::npos);
  EXPECT_NE(header.find("OBJECT  = 'HEAD'"), std::string::npos);
  EXPECT_EQ(header.find("Doe"), std::string::npos);
  // Only option + lets the patient's name into the header.
  r = Convert(b.str(), {"+"}, "named");
  ASSERT_EQ(r.Status, 0) << r.Console;
  header = ReadFile("named.fit").substr(0, 2880);
  EXPECT_NE(header.find("Doe"), std::string::npos) << header;
}

TEST(DicomSamples, NativeRowKinds) {
  ScratchDir dir;
  // Packed 12-bit: AB CD EF gives ABC and DEF.
  Builder p;
  p.Start(ExplicitLe);
  p.Image(2, 1, 12);
  p.Explicit(0x7FE0, 0x0010, "OB", {0xAB, 0xCD, 0xEF, 0});
  Result r = Convert(p.str(), {}, "p12");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0xABC, 0xDEF})) << r.Console;

  // Unsigned 16-bit samples keep their high values; signed ones are clamped at 0
  // unless option F moves them, and a 12-bit signed sample takes its sign from bit 11.
  Builder u;
  u.Start(ExplicitLe);
  u.Image(2, 1, 16);
  u.Explicit(0x7FE0, 0x0010, "OW", {0x40, 0x9C, 0xFF, 0xFF});
  r = Convert(u.str(), {}, "u16");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{40000, 65535})) << r.Console;
  Builder s;
  s.Start(ExplicitLe);
  s.Image(3, 1, 16, 1, 12, 1);
  s.Explicit(0x7FE0, 0x0010, "OW", {0xFB, 0x0F, 0x05, 0x00, 0x00, 0xF8});
  r = Convert(s.str(), {}, "s12");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0, 5, 0})) << r.Console;
  r = Convert(s.str(), {"F2048,2"}, "s12f");
  EXPECT_TRUE(Has(r, "F_z=2048.0\nF_s=2.0000\n")) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{2038, 2058, 0})) << r.Console;

  // The big-endian syntax turns the data set and the words around.
  Builder be;
  be.Big = true;
  be.Start("1.2.840.10008.1.2.2");
  be.Image(2, 1, 16);
  be.Explicit(0x7FE0, 0x0010, "OW", {0x12, 0x34, 0x00, 0x01});
  r = Convert(be.str(), {}, "be");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0x1234, 1})) << r.Console;
  EXPECT_TRUE(Has(r, "Npv=1")) << r.Console;
  // Option S turns them back.
  r = Convert(be.str(), {"S"}, "bes");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0x3412, 0x100})) << r.Console;

  // 8-bit fluoroscopy of two makers has its bytes exchanged in pairs.
  Builder rf;
  rf.Start(ExplicitLe);
  rf.Text(0x0008, 0x0060, "CS", "RF");
  rf.Text(0x0008, 0x0070, "LO", "GE MEDICAL SYSTEMS");
  rf.Image(3, 2, 8);
  rf.Explicit(0x7FE0, 0x0010, "OB", {1, 2, 3, 4, 5, 6});
  r = Convert(rf.str(), {}, "rf");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{3, 6, 5, 2, 1, 4})) << r.Console;
}

TEST(DicomSamples, ColourLayouts) {
  ScratchDir dir;
  // Two pixels, red then white, pixel by pixel and plane by plane; C1,0,0
  // keeps the red channel, the default weights give the grey.
  Builder i;
  i.Start(ExplicitLe);
  i.Image(2, 1, 8, 3);
  i.Us(0x0028, 0x0006, 0);
  i.Explicit(0x7FE0, 0x0010, "OB", {200, 0, 0, 255, 255, 255});
  Result r = Convert(i.str(), {}, "rgb");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{60, 255})) << r.Console;
  EXPECT_TRUE(Has(r, "Nsb=RVB rvba={0.299,0.587,0.114,0.000}\n")) << r.Console;
  Builder p;
  p.Start(ExplicitLe);
  p.Image(2, 1, 8, 3);
  p.Us(0x0028, 0x0006, 1);
  p.Explicit(0x7FE0, 0x0010, "OB", {200, 255, 0, 255, 0, 255});
  r = Convert(p.str(), {"C1,0,0"}, "planar");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{200, 255})) << r.Console;

  // Palette colour: indices looked up (below the first mapped value: entry 0,
  // beyond the table: the last entry), then weighted.
  Builder c;
  c.Start(ExplicitLe);
  c.Text(0x0028, 0x0004, "CS", "PALETTE COLOR");
  c.Image(3, 1, 8);
  for (uint16_t e : {0x1101, 0x1102, 0x1103}) c.Explicit(0x0028, e, "US", {2, 0, 10, 0, 16, 0});
  c.Explicit(0x0028, 0x1201, "OW", {0x00, 0x10, 0x00, 0x20});
  c.Explicit(0x0028, 0x1202, "OW", {0, 0, 0, 0});
  c.Explicit(0x0028, 0x1203, "OW", {0, 0, 0, 0});
  c.Explicit(0x7FE0, 0x0010, "OB", {3, 11, 200, 0});
  r = Convert(c.str(), {"R"}, "pal");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0x1000, 0x2000, 0x2000})) << r.Console;
  // Palette data missing: refused.
  Builder m;
  m.Start(ExplicitLe);
  m.Text(0x0028, 0x0004, "CS", "PALETTE COLOR");
  m.Image(1, 1, 8);
  m.Explicit(0x7FE0, 0x0010, "OB", {3, 0});
  r = Convert(m.str(), {}, "nopal");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Palette absente\n")) << r.Console;
}

// Encapsulated pixel data: the offset table item, fragments, the delimiter.
void Encapsulated(Builder& b, const std::vector<uint32_t>& offsets,
                  const std::vector<Bytes>& fragments) {
  b.U16(0x7FE0, false);
  b.U16(0x0010, false);
  b.Raw({'O', 'B', 0, 0});
  b.U32(0xFFFFFFFF, false);
  b.Item(0xE000, static_cast<uint32_t>(4 * offsets.size()));
  for (uint32_t o : offsets) b.U32(o, false);
  for (const Bytes& f : fragments) {
    b.Item(0xE000, static_cast<uint32_t>(f.size()));
    b.Raw(f);
  }
  b.Item(0xE0DD, 0);
}

TEST(DicomEncapsulated, RunLengthFramesAndFragments) {
  ScratchDir dir;
  // Two frames of 2 x 2 16-bit samples; frame 2 is split over two fragments
  // and found through the offset table.
  const Bytes f1 = RleFrame({{0x81, 0x00}, {0x03, 1, 2, 3, 4}});
  Bytes f2 = RleFrame({{0x81, 0x01}, {0x03, 9, 8, 7, 6}});
  f2.push_back(0); // padding to even
  const Bytes f2a(f2.begin(), f2.begin() + 40), f2b(f2.begin() + 40, f2.end());
  Builder b;
  b.Start(RleSyntax);
  b.Text(0x0028, 0x0008, "IS", "2");
  b.Image(2, 2, 16);
  Encapsulated(b, {0, static_cast<uint32_t>(8 + f1.size())}, {f1, f2a, f2b});
  Result r = Convert(b.str(), {}, "f1");
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{3, 4, 1, 2}));
  r = Convert(b.str(), {}, "f2", ",2");
  EXPECT_EQ(r.Status, 0) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0x107, 0x106, 0x109, 0x108}));
  // A frame number beyond the frames stops before any output.
  r = Convert(b.str(), {}, "f3", ",3");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Image 3 absente : le fichier en contient 2\n")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("f3.fit"));

  // Colour: three segments, one per channel.
  Builder c;
  c.Start(RleSyntax);
  c.Image(2, 1, 8, 3);
  Encapsulated(c, {}, {RleFrame({{0xFF, 100}, {0xFF, 0}, {0x01, 0, 255}})});
  r = Convert(c.str(), {"C1,1,1"}, "crle");
  EXPECT_EQ(r.Values, (std::vector<int64_t>{100, 355})) << r.Console;

  // Too few segments for the samples: refused.
  Builder s;
  s.Start(RleSyntax);
  s.Image(2, 1, 16);
  Encapsulated(s, {}, {RleFrame({{0x81, 0x00}})});
  r = Convert(s.str(), {}, "short");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Donn\u00e9es RLE incorrectes\n")) << r.Console;

  // A segment that runs out: the rest is zeros, and the run says so.
  Builder t;
  t.Start(RleSyntax);
  t.Image(2, 3, 8);
  Encapsulated(t, {}, {RleFrame({{0x02, 5, 6, 7}})});
  r = Convert(t.str(), {}, "trunc");
  EXPECT_EQ(r.Status, 3) << r.Console;
  EXPECT_EQ(r.Values, (std::vector<int64_t>{0, 0, 7, 0, 5, 6}));
}

TEST(DicomEncapsulated, OnlyLosslessJpegIsDecoded) {
  ScratchDir dir;
  for (const char* syntax : {"1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.80",
                             "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.1.99"}) {
    SCOPED_TRACE(syntax);
    Builder b;
    b.Start(syntax);
    b.Image(1, 1, 8);
    Encapsulated(b, {}, {{0xFF, 0xD8, 0xFF, 0xD9}});
    const Result r = Convert(b.str(), {}, "j");
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(Has(r, "Compression pas support\u00e9e\n")) << r.Console;
  }
  // A lossless stream whose frame is not the image of the header is refused.
  Builder b;
  b.Start("1.2.840.10008.1.2.4.70");
  b.Image(1, 1, 8);
  Encapsulated(b, {}, {{0xFF, 0xD8, 0xFF, 0xD9}});
  const Result r = Convert(b.str(), {}, "l");
  EXPECT_EQ(r.Status, 1);
}

TEST(DicomGeometry, RefusedBeforeAnyOutput) {
  ScratchDir dir;
  Builder none;
  none.Start(ExplicitLe);
  none.Image(1, 1, 16);
  Result r = Convert(none.str(), {}, "none");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Pas d'image dans le fichier\n")) << r.Console;

  Builder wide;
  wide.Start(ExplicitLe);
  wide.Image(30001, 1, 8);
  wide.Explicit(0x7FE0, 0x0010, "OB", {});
  r = Convert(wide.str(), {}, "wide");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Taille d'image incorrecte : 30001 x 1\n")) << r.Console;

  // A header claiming a huge image over a few bytes of data.
  Builder huge;
  huge.Start(ExplicitLe);
  huge.Image(30000, 30000, 16);
  huge.Explicit(0x7FE0, 0x0010, "OW", {1, 2});
  r = Convert(huge.str(), {}, "huge");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r, "Fichier tronqu\u00e9")) << r.Console;
  EXPECT_FALSE(std::filesystem::exists("huge.fit"));

  for (uint16_t bits : {1, 32}) {
    Builder b;
    b.Start(ExplicitLe);
    b.Image(1, 1, bits);
    b.Explicit(0x7FE0, 0x0010, "OB", {0, 0, 0, 0});
    r = Convert(b.str(), {}, "bits");
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(Has(r, "Format de pixel pas support\u00e9 : " + std::to_string(bits) + " bits"))
        << r.Console;
  }
}

TEST(DicomCorpus, EveryFileConvertsOrStopsWithItsReason) {
  const std::filesystem::path corpus = test::CorpusDir() / "dicom";
  if (!std::filesystem::is_directory(corpus)) {
    if (std::getenv("CI")) FAIL() << "corpus missing: " << corpus;
    GTEST_SKIP() << "no corpus";
  }
  ScratchDir dir;
  for (const auto& e : std::filesystem::directory_iterator(corpus)) {
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    std::filesystem::create_symlink(e.path(), name);
    std::ostringstream out;
    const int status = korv::Run({"korvalix", name}, out);
    if (name == "JPEG-lossy.dcm") {
      EXPECT_EQ(status, 1);
      EXPECT_NE(out.str().find("Compression pas support\u00e9e\n"), std::string::npos);
    } else if (name == "exiftool_DICOM.dcm") {
      EXPECT_EQ(status, 3) << out.str(); // pixel data cut to 18 bytes
    } else {
      EXPECT_EQ(status, 0) << out.str();
    }
  }
}

} // namespace
} // namespace korv
