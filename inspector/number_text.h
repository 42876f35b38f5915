// Numbers and times as text, the same whatever the locale: '.' is the only decimal separator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The shortest text that reads back as the same double ("400", "-0.25", "1e-05"); "nan",
// "inf" or "-inf" for values that are not finite (callers that need a number check first).
std::string double_text(double value);

// A number of ticks (100 ns, EDF_TIME_DIMENSION per second) as exact decimal seconds, without
// trailing zeros: 0 -> "0", 2500000 -> "0.25", -30000000 -> "-3", 3000000000 -> "300".
std::string ticks_to_seconds_text(int64_t ticks);

// A tick count below one second (0 to 9999999) as the seven digits after the point.
std::string subsecond_digits(int64_t ticks);

// A value with a fixed number of decimals ("2.50" for 2.5 with 2 decimals); for axis labels.
std::string fixed_text(double value, int decimals);

// A whole command-line text as a finite decimal number ("2", "0.5", "1e3"); nothing else.
std::optional<double> parse_decimal(const std::string &text);

// A whole command-line text as a number from 0 to INT32_MAX; nothing else.
std::optional<int> parse_index(const std::string &text);
