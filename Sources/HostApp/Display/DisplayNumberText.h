#pragma once
// How the display switcher's notes and the display reports of the
// diagnostics write numbers, so that one size reads the same in both: whole
// numbers as plain decimals, and lengths in points rounded half away from
// zero.

#include <cmath>
#include <string>

namespace displaytext {

// An identifier, a size or an error code as decimal text.
inline std::string str(long long v) { return std::to_string(v); }

inline long long roundedHalfAway(double v) { return std::llround(v); }

}  // namespace displaytext
