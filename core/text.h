// Short-text helpers. Texts are bytes (code page 850 for accented letters);
// "blank" is the byte 0x20 only. Results are cut at 255 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "core/short_text.h"

namespace korv {

void TrimRightBlanks(Text& t);
void TrimLeftBlanks(Text& t);   // an all-blank text is left unchanged
void TrimBlanks(Text& t);       // an all-blank text becomes empty
void TrimHeaderValue(Text& t);
Text UnderscoresToBlanks(std::string_view t);

// Each sets item to the text before the first delimiter (all of it when there is
// none), removes the item and the delimiter from text, then trims leading blanks.
void TakeItemComma(Text& text, Text& item);
void TakeItemSemicolon(Text& text, Text& item);
void TakeItemBlank(Text& text, Text& item);
void TakeItemEquals(Text& text, Text& item);
void TakeItemDot(Text& text, Text& item);
void TakeItemCommaSemicolon(Text& text, Text& item);
void TakeItemSeparator(Text& text, Text& item); // TAB, blank, ',', ';', '=', '|'

unsigned char FoldUpperByte(unsigned char c);
Text FoldUpper(std::string_view t);
// 1-based position of the folded needle in the folded haystack, 0 when absent.
unsigned FoldedPos(std::string_view needle, std::string_view haystack);
// Appends each comma-separated item of items that list does not hold yet.
void MergeList(Text& list, std::size_t maxLength, std::string_view items);

// mode 0: stored form with '|' separators; mode 3: the form that opens a file on
// this system ('/' separators, letter case kept); modes 1, 2 as the classic forms.
Text NormalizePath(unsigned mode, std::string_view path);

Text HexDigits(uint32_t value, unsigned minDigits);
Text BinaryDigits(uint32_t value, unsigned minDigits);

// Plain byte tests and cuts, exact (no folding): fold first where case must not matter.
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline bool StartsWith(std::string_view v, std::string_view prefix) {
  return v.substr(0, prefix.size()) == prefix;
}

inline bool Contains(std::string_view v, std::string_view needle) {
  return v.find(needle) != std::string_view::npos;
}

// True when k equals one of the listed texts.
inline bool In(std::string_view k, std::initializer_list<std::string_view> list) {
  for (std::string_view s : list)
    if (k == s) return true;
  return false;
}

// Characters pos..pos+len-1 (0-based) of v, clamped; never a null view.
inline std::string_view Part(std::string_view v, std::size_t pos,
                             std::size_t len = std::string_view::npos) {
  if (pos > v.size()) return std::string_view("", 0);
  return v.substr(pos, len);
}

} // namespace korv
