#include "core/julian.h"

#include <cmath>

namespace korv {

double NormalizeAngle(double radians) {
  auto frac = [](double v) { return v - std::trunc(v); };
  const double turn = 2.0 * Pi;
  return frac(frac(radians / turn) + 1.0) * turn;
}

double JulianDate(double year, double month, double day) {
  const double l = month < 2.5 ? 1.0 : 0.0;
  const double y = year - l;
  // Gregorian from 1582-10-15 on; the comparison is strict, so day 15.0 itself
  // still counts as Julian and any fraction of that day as Gregorian.
  double b = 0.0;
  if ((year * 100.0 + month) * 100.0 + day > 15821015.0)
    b = 2.0 - std::trunc(y * 0.01) + std::trunc(y * 0.0025);
  const double c = std::trunc(y * 365.25 - 0.75 * (y < 0 ? 1.0 : 0.0));
  const double e = l == 1.0 ? std::trunc((month + 13.0) * 30.6001) : std::trunc((month + 1.0) * 30.6001);
  return c + e + day + 1720994.5 + b;
}

} // namespace korv
