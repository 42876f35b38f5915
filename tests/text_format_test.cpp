// Numbers and user texts as header text: the decimal printer, the eight-character physical
// fields, the padding rule, and the transliteration of Latin-1 to printable ASCII.
#include "recording/core/text_format.h"
#include "recording/core/header_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

using namespace edf;

namespace {

constexpr double inf_value = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

std::string double_text(double x) {
    char buffer[EDF_TEXT_BUFFER_SIZE];
    const int length = edf_double_to_text(buffer, x);
    EXPECT_EQ(length, static_cast<int>(std::strlen(buffer)));
    return buffer;
}

} // namespace

// Outside the 32-bit range the text is the nearest 32-bit limit; nothing is undefined.
TEST(DoubleToText, TruncatesToNineDecimalsWithoutTrailingZeros) {
    // clang-format off
    const std::pair<double, const char *> cases[] = {
        {400, "400"}, {-400, "-400"}, {0, "0"}, {-0.0, "0"}, {1.5, "1.5"}, {-0.5, "-0.5"},
        {-0.25, "-0.25"}, {-3000.5, "-3000.5"}, {0.1, "0.1"}, {0.001, "0.001"},
        {123.456, "123.456"}, {0.000001, "0.000001"}, {1e-9, "0.000000001"}, {1e-10, "0"},
        {2.675, "2.674999999"}, {0.9999999999, "0.999999999"}, {99999.999, "99999.998999999"},
        {2147483647.0, "2147483647"}, {-2147483648.5, "-2147483648.5"},
        {1e300, "2147483647"}, {inf_value, "2147483647"}, {-1e300, "-2147483648"},
        {nan_value, "0"}};
    // clang-format on
    for (const auto &[x, expected] : cases) {
        EXPECT_EQ(double_text(x), expected) << x;
    }
}

// nullptr: refused, as the eight characters cannot carry the value.
TEST(PhysicalValueField, KeepsTheCutTextOrRefusesALostMagnitude) {
    const std::pair<double, const char *> cases[] = {
        {400, "400     "},        {-400, "-400    "},       {2.675, "2.674999"},
        {123456.789, "123456.7"}, {-123456.5, "-123456."},  {1e-7, "0.000000"},
        {-0.000001, "-0.00000"},  {12345678.9, "12345678"}, {99999999.0, "99999999"},
        {-9999999.5, "-9999999"}, {123456789.0, nullptr},   {100000000.0, nullptr},
        {-10000000.0, nullptr},   {-1e300, nullptr},        {inf_value, nullptr},
        {-inf_value, nullptr},    {nan_value, nullptr}};
    for (const auto &[x, expected] : cases) {
        char text[9];
        ASSERT_EQ(edf::codec::physical_value_text(x, text), expected != nullptr) << x;
        if (expected != nullptr) {
            EXPECT_STREQ(text, expected) << x;
        }
    }
}

TEST(Latin1ToAscii, FollowsTheTransliterationTable) {
    std::string all;
    for (int b = 0; b < 256; b++) {
        all += static_cast<char>(b);
    }
    edf_latin1_to_ascii(all.data(), 256);
    std::string expected(32, '.');
    for (int b = 0x20; b < 0x7F; b++) {
        expected += static_cast<char>(b);
    }
    expected += "."                  // 0x7F
                "E.,F\".++^.S<E.Z."  // 0x80
                ".`'\"\".--~.s>e.zY" // 0x90
                ".i....|....<...-"   // 0xA0
                "....'u.....>...?"   // 0xB0
                "AAAAAAECEEEEIIII"   // 0xC0
                "DNOOOOOxOUUUUYts"   // 0xD0
                "aaaaaaeceeeeiiii"   // 0xE0
                "dnooooo:0uuuuyty";  // 0xF0
    EXPECT_EQ(all, expected);

    std::string words = "Gr\xFCn Gr\xC3\xBCn \t \xB5V";
    edf_latin1_to_ascii(words.data(), static_cast<int>(words.size()));
    EXPECT_EQ(words, "Grun GrA.n . uV");
}
