// Observation metadata found in FITS-like headers, in the many spellings that
// cameras and acquisition programs write: dates, times of day, sky and site
// angles, filter names, object names and observatory codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/short_text.h"

namespace korv {

struct Conversion;
struct ImageState;

// A DATE-OBS value, day-first (dd/mm/yy, dd.mm.yyyy, with an optional 'T' time)
// or ISO (yyyy-mm-dd[Thh:mm:ss.sss]). The date part is added to DateObs unless
// DateKnown, the time part unless TimeKnown. Prints "Bul=AVI2BMP" for the
// dd/mm/yyThh:mm:ss form of that capture program.
void DecodeDateObs(Conversion& cv, std::string_view value);
// A UT-DATE value dd?mm?yy or dd?mm?yyyy: the day is added to UtDateObs.
void DecodeUtDate(ImageState& s, std::string_view value);

// yyyy-mm-ddThh:mm:ss.sss (a comma read as a point) as a Julian date.
double IsoInstant(std::string_view value);

// hh?mm?ss.sss as a fraction of a day.
double TimeOfDay(std::string_view value);
// hh?mm?ss with whole seconds, as a fraction of a day (shutter times).
double ShutterTimeOfDay(std::string_view value);

// Angles in radians. A right ascension given as one number is in degrees, or in
// hours when singleIsHours is set.
double ParseRightAscension(std::string_view value, bool singleIsHours);
double ParseDeclination(std::string_view value);
double ParseLatitude(std::string_view value);
// East positive, reduced to [0, 2 pi). foldedComment is the card comment in
// upper case; some programs write west-positive numbers.
double ParseLongitude(std::string_view value, std::string_view foldedComment,
                      uint8_t sourceSoftware);

// Filter values that name no filter at all (AIR, NONE, SOLAR..., CLEAR...).
bool IsNoFilterValue(std::string_view value);
// Short filter name: Rb for Bessell R, Vj for Johnson V, Rs for Sloan r...
ShortText<20> NormalizeFilterName(std::string_view value);

// The fixed text that an observing robot puts in front of object names; the
// first ten characters name the observer.
constexpr std::string_view RobotObserverPrefix = "KORV ROBOT - ";

// Adds the object names of one OBJECT-family value to ObjectName (and the
// robot's name to Observer).
void AddFitsObject(ImageState& s, std::string_view value);

// Cleans a list of object designations (catalogue prefixes joined to their
// numbers, descriptive phrases dropped) into a comma-separated list.
Text NormalizeObjectList(std::string_view list, std::size_t maxLength);

// OBS_CODE / IAU_CODE: E10 gives 1410 (A00..Z99 are 1000..3599), a number gives
// itself, an empty text 500 (geocentre), YYY or '-' gives -500.
int32_t ParseObservatoryCode(std::string_view value);

} // namespace korv
