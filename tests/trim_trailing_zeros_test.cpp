// The sweep program's helper that removes the trailing zeros of decimal numbers in a text.
#include "generator/trim_trailing_zeros.h"

#include <gtest/gtest.h>

#include <string>

TEST(TrimTrailingZeros, RemovesZerosThatEndAFraction) {
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},
        {"100", "100"},
        {"10.000000", "10"},
        {"4095.500000", "4095.5"},
        {"0.000000", "0"},
        {"-400.000000", "-400"},
        {"1.500Hz", "1.5Hz"},
        {"1.049134Hz", "1.049134Hz"},
        {"152.366950Hz", "152.36695Hz"},
        {"5.", "5."},
        {".500", ".500"},
        {"1.2.300", "1.2.3"},
        {"1.0.0", "1"},
        {"x10.10.10y", "x10.1.1y"},
        {"Logarithmic frequency sweep from 10.000000Hz to 4095.000000Hz",
         "Logarithmic frequency sweep from 10Hz to 4095Hz"},
    };
    for (const auto &[input, expected] : cases) {
        std::string text = input;
        trim_trailing_zeros(text.data());
        EXPECT_STREQ(text.c_str(), expected) << input;
    }
}
