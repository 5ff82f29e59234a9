#pragma once
// Shortest round-trip text of a single-precision float, never with an exponent.

#include <string>

namespace torvane::damiao {

// "12.5", "30", "-0", "0.0000001", "NaN", "inf", "-inf".
std::string float_text(float v);

// As float_text, but integral values keep a fractional part: "1.0", "-0.0".
std::string float_text_with_fraction(float v);

// "%.4f" of the widened value, with NaN/inf spelled as above.
std::string fixed4_text(float v);

}  // namespace torvane::damiao
