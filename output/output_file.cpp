// Choosing, creating and finishing the one output file of a run. An existing
// file is never replaced unless the user asked to overwrite: names are created
// exclusively, so a file that appears between two runs is not lost either.
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "core/conversion.h"
#include "core/numbers.h"
#include "core/stop.h"
#include "core/text.h"
#include "output/output_file.h"

namespace korv {
namespace {

constexpr int32_t LastFileNumber = 99999;
constexpr std::size_t MaxTargetName = 68;
constexpr std::string_view WordSeparators = " #+-_";

constexpr std::string_view NoFreeNameMessage = "Pas de num\u00e9ro libre pour le fichier de sortie";
constexpr std::string_view CreateFailedMessage = "Cr\u00e9ation impossible du fichier ";
constexpr std::string_view CloseFailedMessage = "Fermeture impossible du fichier ";

bool IsSeparator(char c) { return c == '|' || c == '/' || c == '\\'; }

// Index just after the last path separator (0 when there is none).
std::size_t NameStart(std::string_view path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1])) return i;
  return 0;
}

// The input name without its directory, cut before its first '.'.
std::string_view BareName(std::string_view path) {
  const std::string_view name = path.substr(NameStart(path));
  return name.substr(0, name.find('.'));
}

// Position of the last '.' of the file name proper (a '.' in a directory name
// does not start an extension); npos when the name has none.
std::size_t LastDot(std::string_view path) {
  const std::size_t start = NameStart(path);
  const std::size_t dot = path.rfind('.');
  return (dot == std::string_view::npos || dot < start) ? std::string_view::npos : dot;
}

[[noreturn]] void StopCreating(Conversion& cv, std::string_view name, int error) {
  Say(cv, std::string(CreateFailedMessage) + std::string(name) + " : " + std::strerror(error));
  Finish(cv, true);
}

// Creates the file of a stored-form name. Returns 0 on success, else errno.
int TryCreate(Conversion& cv, std::string_view name, bool exclusive) {
  const Text path = NormalizePath(3, name);
  if (path.empty()) return ENOENT;
  if (cv.Output.Create(path.str(), exclusive)) return 0;
  return errno != 0 ? errno : EIO;
}

bool IsInputFile(const Conversion& cv, std::string_view name) {
  const Text path = NormalizePath(3, name);
  struct stat output {};
  struct stat input {};
  return ::stat(path.str().c_str(), &output) == 0 && !cv.Input.Path().empty() &&
         ::stat(cv.Input.Path().c_str(), &input) == 0 && output.st_dev == input.st_dev &&
         output.st_ino == input.st_ino;
}

// "=a,b[,text]" or "@a,b[,text]" in ObjectName: the object name is taken from
// words a to b of the input file name; "@_" and "@-" take the part before the
// first '_' or '-'.
void TargetFromFileName(ImageState& st) {
  const Text request = st.ObjectName;
  const std::string_view obj = request.view();
  if (obj.empty() || (obj[0] != '=' && obj[0] != '@')) return;
  const std::string_view n = BareName(st.InputFilePath.view());

  if (obj[0] == '@' && obj.size() >= 2 && (obj[1] == '_' || obj[1] == '-') &&
      (obj.size() == 2 || obj[2] == ',')) {
    st.ObjectName = n.substr(0, n.find(obj[1]));
    return;
  }

  // Word w (1-based) spans [starts[w-1], ends[w-1]); k separators make k + 1 words.
  std::array<std::size_t, Text::Capacity + 1> starts{};
  std::array<std::size_t, Text::Capacity + 1> ends{};
  std::size_t words = 0;
  starts[0] = 0;
  for (std::size_t i = 0; i < n.size(); ++i) {
    if (WordSeparators.find(n[i]) == std::string_view::npos) continue;
    ends[words++] = i;
    starts[words] = i + 1;
  }
  ends[words++] = n.size();

  Text rest = obj.substr(1);
  Text item;
  TakeItemComma(rest, item);
  int64_t a = ParseInteger(item.view());
  TakeItemComma(rest, item);
  int64_t b = ParseInteger(item.view());
  const auto count = static_cast<int64_t>(words);
  if (a == 0) a = 1;
  if (b == 0) b = -1;
  if (a < 0) a = count + 1 + a;
  if (b < 0) b = count + 1 + b;
  // Word numbers outside the name: before the first word counts from the
  // start, past the last word from the end.
  const std::size_t from = a < 1 ? 0 : (a > count ? n.size() : starts[a - 1]);
  const std::size_t to = b < 1 ? 0 : (b > count ? n.size() : ends[b - 1]);

  if (from >= to) {
    st.ObjectName = rest.view();
    return;
  }
  Text target = UnderscoresToBlanks(n.substr(from, to - from));
  if (obj[0] == '@' && !rest.empty()) {
    target += ",";
    target += rest.view();
  }
  st.ObjectName = target.view().substr(0, MaxTargetName);
}

// Mode 3: the number of a numbered name is read from the input name, from
// character NumberStart on (negative: counted from the end).
void NumberFromFileName(ImageState& st) {
  const std::string_view n = BareName(st.InputFilePath.view());
  const auto length = static_cast<int64_t>(n.size());
  int64_t first = st.NumberStart >= 0 ? st.NumberStart : length + st.NumberStart + 1;
  if (first < 1) first = 1;
  std::string_view tail =
      first - 1 < length ? n.substr(static_cast<std::size_t>(first - 1)) : std::string_view();
  while (!tail.empty() && (tail.front() < '0' || tail.front() > '9')) tail.remove_prefix(1);
  if (tail.empty()) {
    st.NamingMode = 0;
    return;
  }
  int64_t value = 0;
  for (char c : tail) {
    if (c < '0' || c > '9') break;
    // Past the last usable number anyway; stop growing before any overflow.
    if (value <= LastFileNumber) value = value * 10 + (c - '0');
  }
  st.FileCounter = static_cast<int32_t>(value);
  st.NamingMode = 1;
}

Text NumberedName(const ImageState& st, std::string_view extension) {
  Text name = st.OutputPrefix.view();
  if (st.OutputPrefix.front() == '@') {
    name += std::to_string(st.FileCounter);
  } else {
    const auto prefixLength = static_cast<int>(st.OutputPrefix.size());
    const int digits = 8 - prefixLength < 6 ? 8 - prefixLength : 6;
    name += FormatFixedPadded(static_cast<double>(st.FileCounter), 0, digits);
  }
  name += ".";
  name += extension;
  return name;
}

} // namespace

void OpenOutputFile(Conversion& cv, std::string_view extension) {
  ImageState& st = cv.State;
  TargetFromFileName(st);
  if (st.NamingMode == 3) NumberFromFileName(st);

  const std::string_view input = st.InputFilePath.view();
  const std::size_t dot = LastDot(input);
  Text name;
  bool created = false;

  if (st.NamingMode == 4) {
    name = input.substr(0, dot);
    name += st.OutputPrefix.view();
    name += ".";
    name += extension;
    const int error = TryCreate(cv, name.view(), true);
    if (error != 0) StopCreating(cv, name.view(), error);
    created = true;
  } else if (st.NamingMode == 0 || st.NamingMode == 2) {
    name = dot == std::string_view::npos ? Text(input) : Text(input.substr(0, dot));
    name += ".";
    name += extension;
    if (st.NamingMode == 2) {
      // Overwriting was asked for; a name that cannot be written falls back
      // to a numbered one, and so does the input file itself, which
      // truncating would destroy before it is read.
      created = !IsInputFile(cv, name.view()) && TryCreate(cv, name.view(), false) == 0;
    } else {
      const int error = TryCreate(cv, name.view(), true);
      if (error != 0 && error != EEXIST) StopCreating(cv, name.view(), error);
      created = error == 0;
    }
    if (!created) st.NamingMode = 1;
  } else {
    st.NamingMode = 1;
  }

  // Numbered names, in the current directory: the first number whose name
  // does not exist yet. Exclusive creation makes the test and the creation one
  // step, so two runs side by side never share a number.
  while (!created) {
    if (st.FileCounter > LastFileNumber) {
      Say(cv, NoFreeNameMessage);
      Finish(cv, true);
    }
    name = NumberedName(st, extension);
    ++st.FileCounter;
    const int error = TryCreate(cv, name.view(), true);
    if (error != 0 && error != EEXIST) StopCreating(cv, name.view(), error);
    created = error == 0;
  }
  Say(cv, "Sor=" + name.str());
}

void CloseOutputFile(Conversion& cv) {
  // The output carries the input's time plus two seconds; a time that cannot
  // be read or set leaves the file with the time of its writing.
  SealChecksums(cv);
  timespec t{};
  if (cv.Input.ModificationTime(t)) {
    t.tv_sec += 2;
    cv.Output.SetModificationTime(t);
  }
  const std::string path = cv.Output.Path();
  if (!cv.Output.Close()) {
    Say(cv, std::string(CloseFailedMessage) + path + " : " + std::strerror(errno));
    Finish(cv, true);
  }
  cv.State.OutputCompleted = 1;
}

} // namespace korv
