// Angles and calendar dates.
#pragma once

namespace korv {

constexpr double Pi = 3.14159265358979323846;

double NormalizeAngle(double radians); // into [0, 2 pi)
// Julian Date of a calendar date; the day may carry a fraction. Gregorian after
// 1582-10-15, Julian before.
double JulianDate(double year, double month, double day);

} // namespace korv
