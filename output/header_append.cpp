// Cards added to the header of a finished output file: the header is written
// before the data, and some facts (an input that ended early) are known only
// once every row is in. The padding after END usually has room; otherwise the
// data move one 2880-byte block down, which keeps the file valid FITS.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/stop.h"
#include "output/output_file.h"

namespace korv {

namespace {

constexpr std::size_t CardBytes = 80;
constexpr int64_t Block = 2880;
// Bytes moved at a time when the data make room for a header block.
constexpr std::size_t MoveChunk = std::size_t{1} << 16;

[[noreturn]] void StopOnPatchError(Conversion& cv) {
  Say(cv, std::string("Erreur d'\u00e9criture : ") + std::strerror(errno != 0 ? errno : EIO));
  Finish(cv, true);
}

bool IsEndCard(std::string_view card) {
  return card.substr(0, 3) == "END" && card.substr(3).find_first_not_of(' ') == std::string::npos;
}

// Moves bytes [from, size) to [from + by, size + by), last chunk first.
bool MoveTail(Conversion& cv, int64_t from, int64_t size, int64_t by) {
  std::vector<char> chunk(MoveChunk);
  int64_t end = size;
  while (end > from) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(end - from, MoveChunk));
    const int64_t at = end - static_cast<int64_t>(n);
    if (!cv.Output.ReadAt(at, chunk.data(), n)) return false;
    if (!cv.Output.Seek(at + by) || !cv.Output.Write(chunk.data(), n)) return false;
    end = at;
  }
  return true;
}

} // namespace

void AppendHeaderCards(Conversion& cv, std::span<const std::string> cards) {
  if (cards.empty()) return;
  ImageState& st = cv.State;
  // Until the header is whole again the file is not a finished output.
  st.OutputCompleted = 0;
  errno = 0;
  if (!cv.Output.Reopen()) StopOnPatchError(cv);
  timespec written{};
  const bool timeKnown = cv.Output.ModificationTime(written);

  const int64_t headerBytes = st.HeaderBytes;
  const int64_t size = cv.Output.Size();
  if (headerBytes <= 0 || headerBytes % Block != 0 || size < headerBytes) StopOnPatchError(cv);
  std::string header(static_cast<std::size_t>(headerBytes), ' ');
  if (!cv.Output.ReadAt(0, header.data(), header.size())) StopOnPatchError(cv);
  const std::size_t slots = header.size() / CardBytes;
  std::size_t end = slots;
  for (std::size_t i = 0; i < slots; ++i) {
    if (IsEndCard(std::string_view(header).substr(i * CardBytes, CardBytes))) {
      end = i;
      break;
    }
  }
  if (end == slots) StopOnPatchError(cv);

  const std::size_t needed = end + cards.size() + 1;
  int64_t grow = 0;
  if (needed > slots) {
    const auto extraBytes = static_cast<int64_t>((needed - slots) * CardBytes);
    grow = (extraBytes + Block - 1) / Block * Block;
    if (!MoveTail(cv, headerBytes, size, grow)) StopOnPatchError(cv);
  }
  std::string tail;
  for (const std::string& card : cards) {
    std::string c = card.substr(0, CardBytes);
    c.resize(CardBytes, ' ');
    tail += c;
  }
  tail += "END";
  tail.resize(static_cast<std::size_t>(headerBytes + grow) - end * CardBytes, ' ');
  if (!cv.Output.Seek(static_cast<int64_t>(end * CardBytes)) ||
      !cv.Output.Write(tail.data(), tail.size()))
    StopOnPatchError(cv);
  st.HeaderBytes = static_cast<uint32_t>(headerBytes + grow);
  SealChecksums(cv);  // the header changed: its checksum with it
  if (timeKnown) cv.Output.SetModificationTime(written);
  if (!cv.Output.Close()) StopOnPatchError(cv);
  st.OutputCompleted = 1;
}

} // namespace korv
