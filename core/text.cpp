#include "core/text.h"

#include <array>

namespace korv {

namespace {

bool IsBlank(char c) { return c == ' '; }

// Removes the item before the first byte for which isDelimiter holds, and that
// delimiter, then trims the leading blanks of what is left.
template <typename Pred> void TakeItemAt(Text& text, Text& item, Pred isDelimiter) {
  const std::string_view v = text.view();
  std::size_t i = 0;
  while (i < v.size() && !isDelimiter(v[i])) ++i;
  item = v.substr(0, i);
  text.erase(0, i < v.size() ? i + 1 : i);
  TrimLeftBlanks(text);
}

// Code page 850 accented letters and their base capitals; 0 = unchanged.
constexpr std::array<unsigned char, 128> MakeAccentTable() {
  std::array<unsigned char, 128> t{};
  for (unsigned c : {0x81, 0x96, 0x97, 0x9A, 0xA3, 0xE9}) t[c - 0x80] = 'U';
  for (unsigned c : {0x82, 0x88, 0x89, 0x8A, 0x90}) t[c - 0x80] = 'E';
  for (unsigned c : {0x83, 0x84, 0x85, 0x8E, 0xA0}) t[c - 0x80] = 'A';
  t[0x87 - 0x80] = 'C';
  for (unsigned c : {0x8B, 0x8C, 0x8D, 0xA1}) t[c - 0x80] = 'I';
  for (unsigned c : {0x93, 0x94, 0x95, 0x99, 0xA2}) t[c - 0x80] = 'O';
  t[0x98 - 0x80] = 'Y';
  t[0xA4 - 0x80] = 'N';
  t[0xA5 - 0x80] = 'N';
  return t;
}
constexpr std::array<unsigned char, 128> AccentTable = MakeAccentTable();

Text DigitsInBase(uint32_t value, unsigned minDigits, unsigned base) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::array<char, 32> buf{};
  std::size_t n = 0;
  do {
    buf[n++] = digits[value % base];
    value /= base;
  } while (value != 0);
  Text out;
  for (unsigned i = static_cast<unsigned>(n); i < minDigits && out.size() < Text::Capacity; ++i)
    out.push_back('0');
  while (n > 0) out.push_back(buf[--n]);
  return out;
}

} // namespace

void TrimRightBlanks(Text& t) {
  std::size_t n = t.size();
  while (n > 0 && IsBlank(t[n - 1])) --n;
  t.erase(n);
}

void TrimLeftBlanks(Text& t) {
  std::size_t i = 0;
  while (i < t.size() && IsBlank(t[i])) ++i;
  if (i == t.size()) return; // all blanks (or empty): left as it is
  t.erase(0, i);
}

void TrimBlanks(Text& t) {
  TrimRightBlanks(t);
  TrimLeftBlanks(t);
}

void TrimHeaderValue(Text& t) {
  auto trailing = [](char c) {
    return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == '\x14' || c == ' ' ||
           c == '"' || c == '\'';
  };
  auto leading = [](char c) { return c == ' ' || c == '"' || c == '\''; };
  std::size_t n = t.size();
  while (n > 0 && trailing(t[n - 1])) --n;
  t.erase(n);
  std::size_t i = 0;
  while (i < t.size() && leading(t[i])) ++i;
  t.erase(0, i);
}

Text UnderscoresToBlanks(std::string_view t) {
  Text out;
  for (char c : t) out.push_back(c == '_' ? ' ' : c);
  return out;
}

void TakeItemComma(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == ','; });
}
void TakeItemSemicolon(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == ';'; });
}
void TakeItemBlank(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == ' '; });
}
void TakeItemEquals(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == '='; });
}
void TakeItemDot(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == '.'; });
}
void TakeItemCommaSemicolon(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) { return c == ',' || c == ';'; });
}
void TakeItemSeparator(Text& text, Text& item) {
  TakeItemAt(text, item, [](char c) {
    return c == '\t' || c == ' ' || c == ',' || c == ';' || c == '=' || c == '|';
  });
}

unsigned char FoldUpperByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
  if (c >= 0x80 && AccentTable[c - 0x80] != 0) return AccentTable[c - 0x80];
  return c;
}

Text FoldUpper(std::string_view t) {
  Text out;
  for (char c : t)
    out.push_back(static_cast<char>(FoldUpperByte(static_cast<unsigned char>(c))));
  return out;
}

unsigned FoldedPos(std::string_view needle, std::string_view haystack) {
  if (needle.empty()) return 0;
  const Text n = FoldUpper(needle);
  const Text h = FoldUpper(haystack);
  const std::size_t p = h.view().find(n.view());
  return p == std::string_view::npos ? 0 : static_cast<unsigned>(p + 1);
}

void MergeList(Text& list, std::size_t maxLength, std::string_view items) {
  const std::size_t cap = maxLength < Text::Capacity ? maxLength : Text::Capacity;
  Text rest = items;
  Text item;
  while (!rest.empty()) {
    TakeItemComma(rest, item);
    // An empty item (",," or a trailing comma) adds nothing but a separator.
    if (item.empty()) continue;
    const Text folded = FoldUpper(item);
    Text entries = FoldUpper(list);
    Text entry;
    bool present = false;
    while (!entries.empty() && !present) {
      TakeItemComma(entries, entry);
      present = entry == folded.view();
    }
    if (present) continue;
    Text merged = list;
    if (!merged.empty()) merged += ", ";
    merged += item.view();
    list = merged.view().substr(0, cap);
  }
}

Text HexDigits(uint32_t value, unsigned minDigits) { return DigitsInBase(value, minDigits, 16); }

Text BinaryDigits(uint32_t value, unsigned minDigits) { return DigitsInBase(value, minDigits, 2); }

Text NormalizePath(unsigned mode, std::string_view path) {
  if (mode > 3) return Text();
  std::string p(path);
  for (std::string_view doubled : {"||", "\\\\", "//"}) {
    for (std::size_t at = p.find(doubled); at != std::string::npos; at = p.find(doubled))
      p.erase(at, 1);
  }
  Text out;
  for (char c : p) {
    switch (mode) {
    case 0:
      if (c == '/' || c == '\\') c = '|';
      break;
    case 1:
      if (c == '/' || c == '|') c = '\\';
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      break;
    case 2:
      if (c == '\\' || c == '|') c = '/';
      break;
    default:
      // The form that opens a file here: '/' separators, letter case kept.
      if (c == '\\' || c == '|') c = '/';
      break;
    }
    out.push_back(c);
  }
  return out;
}

} // namespace korv
