#pragma once
// Text forms of numbers used in invariant descriptions and drift messages.
//
// Both render doubles the same way everywhere a limit, a distance or a radius
// appears in a refusal or a log event, so that a reader sees the same number
// that was configured.

#include <string>

namespace ostrel_core {

// The shortest plain decimal text that reads back as the same double: never
// an exponent, no fractional part for integral values (100.0 -> "100",
// 0.5 -> "0.5", 1e21 -> "1" followed by 21 zeros). NaN is "NaN", the
// infinities are "inf" and "-inf"; negative zero keeps its sign ("-0").
[[nodiscard]] std::string plain_decimal(double value);

// Appends plain_decimal(value) to out.
void append_plain_decimal(std::string& out, double value);

// The value rounded to one decimal place (2.04 -> "2.0", 300 -> "300.0"),
// with the same spellings as plain_decimal for NaN and the infinities.
[[nodiscard]] std::string one_decimal(double value);

}  // namespace ostrel_core
