// Lossless JPEG: the predictive process of ISO 10918-1 (SOF3 frames, and SOF7
// read the same way), as camera raw files (DNG tiles, CR2), lossless-JPEG TIFF
// tiles and DICOM JPEG Lossless frames store it. Huffman tables are kept by
// their identifier; predictors 0 to 7, the point transform and restart
// intervals are honoured; one scan of one to four interleaved components.
// Baseline and other DCT frames are refused. The decoder knows nothing of its
// container: bytes in (a span, or positioned reads), one line of samples out
// per call, its own status codes, and an optional sink for its trace lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

namespace korv {

// Why a stream cannot be decoded; LjpegMessage gives the console text.
enum class LjpegStatus : uint8_t {
  Ok,
  NoSoi,        // the stream does not begin with a start-of-image marker
  NotLossless,  // a DCT (baseline, extended, progressive) or arithmetic frame
  BadFrame,     // precision outside 2..16, no lines or samples, no or too many components
  TooLarge,     // a line longer than MaxLjpegLineSamples
  NoScan,       // the markers end (or the data run out) before a scan header
  BadScan,      // a scan header naming no component or more than the frame holds
};

std::string_view LjpegMessage(LjpegStatus status);

// Longest line the decoder accepts (it keeps two lines, nothing more: frames of
// any height stream through). Containers that must hold a whole image (slice
// layouts) bound it themselves by MaxLjpegImageSamples.
constexpr unsigned MaxLjpegLineSamples = 4 * 65535;
constexpr uint64_t MaxLjpegImageSamples = 54000000;

struct LjpegComponentInfo {
  uint8_t Id = 0;
  uint8_t Sampling = 0;  // H << 4 | V, as stored
  uint8_t Table = 0;     // Huffman table chosen by the scan (0..3)
};

// What the markers before the first scan said.
struct LjpegFrame {
  unsigned Marker = 0;          // 0xFFC3 or 0xFFC7
  unsigned Precision = 0;       // P, bits per sample (2..16)
  unsigned Lines = 0;           // Y
  unsigned SamplesPerLine = 0;  // X, samples of each component per line
  unsigned Components = 0;      // in the scan (Ns), 1..4; the frame's Nf when no scan
  unsigned FrameComponents = 0; // Nf
  std::array<LjpegComponentInfo, 4> Component{};
  unsigned Predictor = 0;       // Ss: 0 = differences as coded, 1..7 as the standard lists
  unsigned PointTransform = 0;  // Al: decoded values are shifted left by it
  unsigned RestartInterval = 0; // in samples of one component (MCUs), 0 = none
  bool SwappedStart = false;    // the stream began D8 FF instead of FF D8
  bool MissingTables = false;   // the scan came before a frame header or any table
  uint64_t DataStart = 0;       // offset of the entropy-coded data in the stream

  // Samples of one decoded line: X of each component, interleaved.
  unsigned LineSamples() const { return SamplesPerLine * Components; }
};

// Positioned read of the stream: copies up to out.size() bytes from `offset`
// (counted from the start of the stream) and returns the count copied.
using LjpegReadAt = std::function<std::size_t(uint64_t offset, std::span<uint8_t> out)>;

// Receives each trace line (no line end), when set.
using LjpegTrace = std::function<void(std::string_view line)>;

struct LjpegOptions {
  LjpegTrace Trace;
  // Deliver the decoded differences without undoing the prediction (a caller
  // that predicts itself, as for the large-frame slice layout).
  bool RawDifferences = false;
  // Size of the blocks read through LjpegReadAt (many decoders side by side,
  // one per tile, take small ones).
  std::size_t BlockBytes = 65536;
};

class LjpegDecoderState;

class LosslessJpegDecoder {
public:
  LosslessJpegDecoder();
  ~LosslessJpegDecoder();
  LosslessJpegDecoder(const LosslessJpegDecoder&) = delete;
  LosslessJpegDecoder& operator=(const LosslessJpegDecoder&) = delete;
  LosslessJpegDecoder(LosslessJpegDecoder&&) noexcept;
  LosslessJpegDecoder& operator=(LosslessJpegDecoder&&) noexcept;

  // Walks the markers up to the entropy-coded data of the first scan. The
  // span must outlive the decoder. Anything but Ok leaves nothing to decode.
  LjpegStatus Start(std::span<const uint8_t> stream, const LjpegOptions& options = {});
  // The same over a stream of `size` bytes read on demand, in blocks.
  LjpegStatus Start(LjpegReadAt read, uint64_t size, const LjpegOptions& options = {});

  const LjpegFrame& Frame() const;

  // Decodes the next line into out (LineSamples() samples: component 0, 1, ...
  // of column 0, then of column 1, ...). Lines past the frame's last, and data
  // the stream does not hold, come out as zeros. The buffer passed must hold
  // LineSamples() samples; a shorter one is filled as far as it goes.
  void DecodeLine(std::span<uint16_t> out);

  unsigned LinesDecoded() const;
  // The first line that needed bits the stream does not hold (Lines when none):
  // lines from there on are made up, at least partly, of zeros.
  unsigned FirstShortLine() const;
  // Markers met inside the entropy-coded data where no restart was due.
  unsigned Bubbles() const;

private:
  std::unique_ptr<LjpegDecoderState> s_;
};

} // namespace korv
