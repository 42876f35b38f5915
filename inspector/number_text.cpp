// Number texts through std::to_chars and std::from_chars, which never consult the locale.
#include "number_text.h"

#include "recording/edf.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

std::string double_text(double value) {
    char buffer[64];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string ticks_to_seconds_text(int64_t ticks) {
    // Split without negating the value, so that the most negative tick count is safe too.
    const bool negative = ticks < 0;
    int64_t whole = ticks / EDF_TIME_DIMENSION;
    int64_t fraction = ticks % EDF_TIME_DIMENSION;
    if (negative) {
        whole = -whole;
        fraction = -fraction;
    }
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s%lld", negative ? "-" : "",
                  static_cast<long long>(whole));
    std::string text = buffer;
    if (fraction != 0) {
        std::string digits = subsecond_digits(fraction);
        while (digits.back() == '0') {
            digits.pop_back();
        }
        text += '.';
        text += digits;
    }
    return text;
}

std::string subsecond_digits(int64_t ticks) {
    std::string digits = std::to_string(ticks);
    if (digits.size() < 7) {
        digits.insert(0, 7 - digits.size(), '0');
    }
    return digits;
}

std::string fixed_text(double value, int decimals) {
    char buffer[400];
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) {
        return double_text(value);
    }
    std::string text(buffer, result.ptr);
    // A value that rounds to zero from below is shown as zero, not "-0.0".
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
}

std::optional<double> parse_decimal(const std::string &text) {
    double value = 0.0;
    const char *first = text.data();
    const char *last = first + text.size();
    const std::from_chars_result result = std::from_chars(first, last, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != last || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> parse_index(const std::string &text) {
    int value = 0;
    const char *first = text.data();
    const char *last = first + text.size();
    const std::from_chars_result result = std::from_chars(first, last, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != last || value < 0) {
        return std::nullopt;
    }
    return value;
}
