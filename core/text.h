// Short-text helpers. Texts are bytes (code page 850 for accented letters);
// "blank" is the byte 0x20 only. Results are cut at 255 bytes.
#pragma once

#include <cstdint>
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

Text HexDigits(uint32_t value, unsigned minDigits);
Text BinaryDigits(uint32_t value, unsigned minDigits);

} // namespace korv
