// The metadata of TIFF-family files: text tags of the main directories, EXIF
// values (in the main walk and in the EXIF sub-directory), GPS position, DNG
// linearisation table, Canon slice layout. What has a place in the header is
// stored in ImageState; everything is listed.
#pragma once

#include <string>
#include <string_view>

#include "readers/tiff/tiff_container.h"

namespace korv {

// Entries an EXIF or GPS directory lists at most.
constexpr unsigned MaxExifEntries = 1024;

// A real as listed: up to 6 significant digits, no exponent for usual values.
std::string FormatReal(double v);
// The values of an entry listed by type (at most 16, then ", ..."): numbers, or
// the text up to its first zero byte with control characters left out.
std::string ListEntryValues(TiffReader& t, const TiffEntry& e);

// Cleans a text value: control characters become blanks, runs of blanks are
// kept single, leading and trailing blanks removed; a zero byte ends it.
std::string CleanText(std::string_view raw);
// The text as listed: cut into lines of 50 characters, each continuation on a
// new line indented by 28 blanks.
std::string WrapListing(std::string_view text);

// "YYYY:MM:DD HH:MM:SS" as a Julian date; false when the year is 0000 or
// 9999, or the text is too short to hold a date.
bool ParseExifDate(std::string_view text, double& jd);

} // namespace korv
