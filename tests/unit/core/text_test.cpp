#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"

namespace korv {
namespace {

TEST(TextTrim, BlanksOnlyAreTrimmed) {
  struct Case {
    std::string in, right, left, both;
  };
  const std::vector<Case> cases = {
      {"  ab  ", "  ab", "ab  ", "ab"},
      {"   ", "", "   ", ""}, // all blanks: the left trim leaves them
      {"", "", "", ""},
      {"\tab\t", "\tab\t", "\tab\t", "\tab\t"}, // only 0x20 counts as blank
      {" a b ", " a b", "a b ", "a b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("[" + c.in + "]");
    Text r(c.in), l(c.in), b(c.in);
    TrimRightBlanks(r);
    TrimLeftBlanks(l);
    TrimBlanks(b);
    EXPECT_EQ(r.str(), c.right);
    EXPECT_EQ(l.str(), c.left);
    EXPECT_EQ(b.str(), c.both);
  }
}

TEST(TextTrim, HeaderValueQuotesAndControls) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"'M 51'   ", "M 51"},
      {std::string(" \"abc\"\r\n\t\x14\0", 12), "abc"},
      {"'it''s'", "it''s"},
      {"\tabc", "\tabc"}, // a leading TAB is kept
      {"''", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    Text t(in);
    TrimHeaderValue(t);
    EXPECT_EQ(t.str(), out);
  }
}

TEST(TextTrim, UnderscoresBecomeBlanks) {
  EXPECT_EQ(UnderscoresToBlanks("NGC_224__b").str(), "NGC 224  b");
}

TEST(TextItems, CommaListIsWalkedItemByItem) {
  Text list = "12, 34,,  56 ";
  Text item;
  std::vector<std::string> items;
  while (!list.empty()) {
    TakeItemComma(list, item);
    items.push_back(item.str());
  }
  EXPECT_EQ(items, (std::vector<std::string>{"12", "34", "", "56 "}));
}

TEST(TextItems, EachDelimiterFamily) {
  struct Case {
    void (*take)(Text&, Text&);
    std::string in, item, rest;
  };
  const std::vector<Case> cases = {
      {TakeItemComma, "12, 34", "12", "34"},
      {TakeItemComma, "no delimiter", "no delimiter", ""},
      {TakeItemComma, "", "", ""},
      {TakeItemComma, "a,   ", "a", "   "}, // an all-blank rest is not trimmed
      {TakeItemSemicolon, " a ;b", " a ", "b"},
      {TakeItemBlank, "DATE-OBS  =  x", "DATE-OBS", "=  x"},
      {TakeItemEquals, "KEY= value", "KEY", "value"},
      {TakeItemDot, "12.30.45", "12", "30.45"},
      {TakeItemCommaSemicolon, "a;b,c", "a", "b,c"},
      {TakeItemCommaSemicolon, "a,b;c", "a", "b;c"},
      {TakeItemSeparator, "a\tb", "a", "b"},
      {TakeItemSeparator, "x|y", "x", "y"},
      {TakeItemSeparator, "k=v", "k", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("[" + c.in + "]");
    Text text(c.in);
    Text item = "old";
    c.take(text, item);
    EXPECT_EQ(item.str(), c.item);
    EXPECT_EQ(text.str(), c.rest);
  }
}

TEST(TextFold, AsciiAndCodePage850Accents) {
  EXPECT_EQ(FoldUpper("abc-XYZ_09").str(), "ABC-XYZ_09");
  // "ete" with e acute (0x82) and e grave (0x8A) in code page 850.
  EXPECT_EQ(FoldUpper("\x82t\x8A").str(), "ETE");
  // Letters without a plain base capital stay as they are.
  for (unsigned char c : {0x80, 0x86, 0x8F, 0x91, 0x92, 0xE1, 0xFF}) {
    SCOPED_TRACE(static_cast<int>(c));
    EXPECT_EQ(FoldUpperByte(c), c);
  }
  const std::vector<std::pair<std::string, char>> accents = {
      {"\x81\x96\x97\x9A\xA3\xE9", 'U'}, {"\x82\x88\x89\x8A\x90", 'E'},
      {"\x83\x84\x85\x8E\xA0", 'A'},     {"\x87", 'C'},
      {"\x8B\x8C\x8D\xA1", 'I'},         {"\x93\x94\x95\x99\xA2", 'O'},
      {"\x98", 'Y'},                     {"\xA4\xA5", 'N'},
  };
  for (const auto& [bytes, base] : accents)
    EXPECT_EQ(FoldUpper(bytes).str(), std::string(bytes.size(), base));
}

TEST(TextFold, FoldedPosition) {
  EXPECT_EQ(FoldedPos("canon", "Camera: CANON EOS"), 9u);
  EXPECT_EQ(FoldedPos("nikon", "Camera: CANON EOS"), 0u);
  EXPECT_EQ(FoldedPos("\x82t\x82", "ETE 2026"), 1u);
  EXPECT_EQ(FoldedPos("", "abc"), 0u);
}

TEST(TextFold, FoldedTextIsCutAtCapacity) {
  EXPECT_EQ(FoldUpper(std::string(300, 'a')).size(), 255u);
}

TEST(TextMerge, ItemsAreAddedOnceIgnoringCase) {
  struct Case {
    std::string list;
    std::size_t max;
    std::string items, result;
  };
  const std::vector<Case> cases = {
      {"", 68, "Ha", "Ha"},
      {"Ha", 68, "ha, OIII", "Ha, OIII"},
      {"Ha, OIII", 68, "oiii,SII,Ha", "Ha, OIII, SII"},
      {"R", 68, "G,,B", "R, G, B"},
      {"abc", 6, "defgh", "abc, d"}, // cut at the list's capacity
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list + " + " + c.items);
    Text list(c.list);
    MergeList(list, c.max, c.items);
    EXPECT_EQ(list.str(), c.result);
  }
}

TEST(TextDigits, HexAndBinary) {
  EXPECT_EQ(HexDigits(255, 4).str(), "00ff");
  EXPECT_EQ(HexDigits(0, 0).str(), "0");
  EXPECT_EQ(HexDigits(0xDEADBEEF, 2).str(), "deadbeef");
  EXPECT_EQ(BinaryDigits(5, 0).str(), "101");
  EXPECT_EQ(BinaryDigits(0, 3).str(), "000");
  EXPECT_EQ(BinaryDigits(0xFFFFFFFFu, 0).str(), std::string(32, '1'));
  EXPECT_EQ(HexDigits(1, 1000).size(), 255u);
}

} // namespace
} // namespace korv
