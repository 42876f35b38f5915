// The numeric text routines: validators, value parsers and tick converters, and their
// independence from the process locale.
#include "recording/core/text_parse.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace edf;

namespace {

struct validity_case {
    const char *text;
    int expected; // 0 well-formed, 1 malformed
};

TEST(TextIsInteger, AcceptsSignDigitsAndTrailingSpacesOnly) {
    const validity_case cases[] = {
        {"12", 0},   {"-7", 0},    {"+7", 0},   {"12   ", 0}, {"0", 0},   {"-00032768", 0},
        {"", 1},     {"-", 1},     {"+", 1},    {" 12", 1},   {"1 2", 1}, {"12a", 1},
        {"1.0", 1},  {"+-1", 1},   {"- 1", 1},  {"12\t", 1},  {"1e3", 1}, {"   ", 1},
        {"12 a", 1}, {"1,000", 1}, {"\xb2", 1},
    };
    for (const validity_case &c : cases) {
        EXPECT_EQ(edf_text_is_integer(c.text), c.expected) << "'" << c.text << "'";
    }
}

TEST(TextIsNumber, AcceptsDecimalAndExponentFormsOnly) {
    const validity_case cases[] = {
        {".5", 0},   {"5.", 0},    {"-0.25", 0},    {"1e5", 0},  {"1.5E-3", 0},   {"2e+10  ", 0},
        {"7", 0},    {"+3.", 0},   {"0.001   ", 0}, {"1E-3", 0}, {"12345678", 0}, {"-.5e1", 0},
        {".", 1},    {"e5", 1},    {".e5", 1},      {"1e", 1},   {"1e+", 1},      {"1 e5", 1},
        {"1e 5", 1}, {"1e5.5", 1}, {"1.2.3", 1},    {" 1", 1},   {"1 2", 1},      {"1+1", 1},
        {"", 1},     {"-", 1},     {"+", 1},        {"1,5", 1},  {"1.5\t", 1},    {"1e5 5", 1},
        {"1 .", 1},  {"1e-", 1},   {"1ee5", 1},     {"0x10", 1}, {"inf", 1},      {"nan", 1},
    };
    for (const validity_case &c : cases) {
        EXPECT_EQ(edf_text_is_number(c.text), c.expected) << "'" << c.text << "'";
    }
}

TEST(Atoi, ReadsSpacesSignAndLeadingDigits) {
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"   -12abc", -12},
        {"- 5", 0},
        {"+", 0},
        {"", 0},
        {"007", 7},
        {"99999999", 99999999},
        {"-8388608", -8388608},
        {"+42 ", 42},
        {"12.9", 12},
        {"abc", 0},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edf_atoi(c.text), c.expected) << "'" << c.text << "'";
    }
}

// Digit runs longer than any header field wrap around on the 32-bit value instead of being
// undefined; the sanitizer build checks that no signed overflow happens on the way.
TEST(Atoi, LongDigitRunsWrapAroundOn32Bits) {
    EXPECT_EQ(edf_atoi("2147483648"), INT32_MIN);
    EXPECT_EQ(edf_atoi("-2147483649"), INT32_MAX);
    EXPECT_EQ(edf_atoi("4294967296"), 0);
    EXPECT_EQ(edf_atoi("4294967297"), 1);
    EXPECT_EQ(edf_atoi("-4294967297"), -1);
    // 10^20 mod 2^32 = 1661992960.
    EXPECT_EQ(edf_atoi("100000000000000000000"), 1661992960);
}

TEST(Atof, BuildsTheValueInTheDefinedOrderOfOperations) {
    const struct {
        const char *text;
        double expected;
    } cases[] = {
        {"0.5", 0.5},
        {"-1.25", -1.0 + static_cast<double>(-25) / 100.0},
        {"-.5", -0.5},
        {"1e3", 1000.0},
        {"2.5E-2", 2.5 / 10.0 / 10.0},
        {"7", 7.0},
        {"   12.5  ", 12.5},
        {"-0.25", -0.25},
        {"1.2.3", 1.2},
        {"1e", 1.0},
        {"1e-0", 1.0},
        {"1e--2", 1.0}, // a second '-' makes the exponent negative, which is ignored
        {"3E+2", 300.0},
        {"0.1", 0.1},
        {"-500", -500.0},
        {"123456.7", 123456.0 + 7.0 / 10.0},
        {"", 0.0},
        {"e5", 0.0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edf_atof(c.text), c.expected) << "'" << c.text << "'";
    }
}

TEST(Atof, MalformedLongInputsStayDefined) {
    // Fraction digits beyond 32 bits, and exponents that leave the double range.
    EXPECT_TRUE(std::isfinite(edf_atof("0.123456789012345678901234567890123")));
    EXPECT_TRUE(std::isfinite(edf_atof("99999999999999999999.5")));
    EXPECT_EQ(edf_atof("1e999999999"), HUGE_VAL);
    EXPECT_EQ(edf_atof("-1e999999999"), -HUGE_VAL);
    EXPECT_EQ(edf_atof("1e-999999999"), 0.0);
    EXPECT_FALSE(std::isnan(edf_atof("1e99999999999999")));
}

struct ticks_case {
    const char *field; // eight characters
    int64_t expected;
};

TEST(FieldToTicks, PlainDecimalFieldsAreExact) {
    const ticks_case cases[] = {
        {"1       ", 10000000},        {"0.001   ", 10000},    {".5      ", 5000000},
        {".1234567", 1234567},         {" 1      ", 0},        {"0       ", 0},
        {"99999999", 999999990000000}, {"0.5     ", 5000000},  {"60      ", 600000000},
        {"+2.5    ", 25000000},        {"1.      ", 10000000}, {".0000001", 1},
    };
    for (const ticks_case &c : cases) {
        std::string field = c.field;
        EXPECT_EQ(edf_field_to_ticks(field.data()), c.expected) << "'" << c.field << "'";
    }
}

TEST(FieldToTicks, DropsTheSignAndShiftsTheField) {
    char field[] = "-1      ";
    EXPECT_EQ(edf_field_to_ticks(field), 10000000);
    EXPECT_STREQ(field, "1       ");
    char full[] = "-0.00001";
    EXPECT_EQ(edf_field_to_ticks(full), 100);
    EXPECT_STREQ(full, "0.00001 ");
}

// The exponent form gives the seconds times 10000000 computed in integers: exact for a whole
// number of ticks, truncated toward zero below one tick, and -1 beyond the 64-bit range.
TEST(FieldToTicks, ExponentFormIsExactInIntegers) {
    const ticks_case cases[] = {
        {"1E-3    ", 10000},
        {"1e3     ", 10000000000},
        {"2.5E-2  ", 250000},
        {".5E1    ", 50000000},
        {"5.E-1   ", 5000000},
        {"1E-7    ", 1},
        {"1E+0    ", 10000000},
        {"1.5E-7  ", 1}, // 1.5 ticks, truncated
        {"1E-8    ", 0},
        {"1E-99999", 0},
        {"0E5     ", 0},
        {"-1E-3   ", 10000},
        {"1E11    ", 1000000000000000000},
        {"9.2E11  ", 9200000000000000000},
        {"9.3E11  ", -1},
        {"1E12    ", -1},
        {"9E999999", -1},
        {"1234E-10", 1},
        {"1234E-7 ", 1234},
    };
    for (const ticks_case &c : cases) {
        std::string field = c.field;
        EXPECT_EQ(edf_field_to_ticks(field.data()), c.expected) << "'" << c.field << "'";
    }
}

// Cross-check against the decimal value: every duration mEk from one tick upwards agrees with
// the seconds times 10000000.
TEST(FieldToTicks, ExponentFormAgreesWithTheSecondsValue) {
    int checked = 0;
    for (int mantissa = 1; mantissa <= 999; mantissa += 7) {
        for (int exponent = -7; exponent <= 3; exponent++) {
            char field[16];
            std::snprintf(field, sizeof field, "%dE%d", mantissa, exponent);
            std::string padded = std::string(field) + std::string(8 - std::strlen(field), ' ');
            ASSERT_EQ(edf_text_is_number(padded.c_str()), 0) << padded;
            const double seconds = edf_atof(padded.c_str());
            const int64_t expected = std::llround(seconds * 10000000.0);
            EXPECT_EQ(edf_field_to_ticks(padded.data()), expected) << padded;
            checked++;
        }
    }
    EXPECT_GT(checked, 1000);
}

TEST(TextToTicks, ConvertsAnnotationTimesTruncatingBelowOneTick) {
    const struct {
        const char *text;
        int64_t expected;
    } cases[] = {
        {"+12.5", 125000000},
        {".5", 5000000},
        {"-0.00000019", -1},
        {"3", 30000000},
        {"", 0},
        {"-", 0},
        {"+1234.5678", 12345678000},
        {"-0.25", -2500000},
        {"+0", 0},
        {"0.123456789", 1234567},
        {"+86400", 864000000000},
    };
    for (const auto &c : cases) {
        int64_t ticks = -99;
        EXPECT_TRUE(edf_text_to_ticks_checked(c.text, &ticks)) << "'" << c.text << "'";
        EXPECT_EQ(ticks, c.expected) << "'" << c.text << "'";
    }
}

TEST(TextToTicks, ReportsValuesBeyond64Bits) {
    int64_t ticks = 0;
    EXPECT_TRUE(edf_text_to_ticks_checked("+922337203685.4775807", &ticks));
    EXPECT_EQ(ticks, INT64_MAX);
    EXPECT_TRUE(edf_text_to_ticks_checked("-922337203685.4775808", &ticks));
    EXPECT_EQ(ticks, INT64_MIN);
    EXPECT_FALSE(edf_text_to_ticks_checked("+922337203685.4775808", &ticks));
    EXPECT_FALSE(edf_text_to_ticks_checked("99999999999999999999999", &ticks));
    EXPECT_TRUE(edf_text_to_ticks_checked("+0000000000000000000000001", &ticks));
    EXPECT_EQ(ticks, 10000000);
}

// Switches the whole process to a locale whose decimal separator is a comma: an installed one
// if there is any, else one generated with localedef into a temporary directory. Restores
// the "C" locale when done.
class comma_locale {
  public:
    comma_locale() {
        for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                                 "nl_NL.UTF-8", "de_DE", "fr_FR"}) {
            if (activate(name)) {
                return;
            }
        }
        generate();
    }
    ~comma_locale() {
        std::setlocale(LC_ALL, "C");
        if (!generated_dir_.empty()) {
#ifndef _WIN32
            unsetenv("LOCPATH");
#endif
            std::error_code ignored;
            std::filesystem::remove_all(generated_dir_, ignored);
        }
    }
    bool active() const {
        return active_;
    }

  private:
    bool activate(const char *name) {
        if (std::setlocale(LC_ALL, name) == nullptr) {
            return false;
        }
        active_ = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
        if (!active_) {
            std::setlocale(LC_ALL, "C");
        }
        return active_;
    }
#ifdef _WIN32
    // The C runtime's own locales; there is nothing to generate.
    void generate() {
        for (const char *name : {"de-DE", "German_Germany.1252", "fr-FR", "French_France.1252"}) {
            if (activate(name)) {
                return;
            }
        }
    }
#else
    void generate() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "comma-locale-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        generated_dir_ = pattern;
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + pattern + "/de_DE.UTF-8' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            return;
        }
        setenv("LOCPATH", pattern.c_str(), 1);
        activate("de_DE.UTF-8");
    }
#endif

    bool active_ = false;
    std::string generated_dir_;
};

TEST(TextParseLocale, ResultsDoNotDependOnTheDecimalSeparatorOfTheLocale) {
    comma_locale locale;
    if (!locale.active()) {
        GTEST_SKIP() << "no locale with a comma decimal separator is installed or can be made";
    }
    // The locale is in force: the C library now reads a comma as the decimal point.
    ASSERT_EQ(std::strtod("0,5", nullptr), 0.5);

    EXPECT_EQ(edf_text_is_number("0.5"), 0);
    EXPECT_EQ(edf_text_is_number("0,5"), 1);
    EXPECT_EQ(edf_text_is_integer("1,0"), 1);
    EXPECT_EQ(edf_atof("0.5"), 0.5);
    EXPECT_EQ(edf_atof("-1.25"), -1.25);
    EXPECT_EQ(edf_atof("2.5E-2"), 2.5 / 10.0 / 10.0);
    EXPECT_EQ(edf_atof("0,5"), 0.0);
    EXPECT_EQ(edf_atoi("-12,5"), -12);
    char field[] = "0.001   ";
    EXPECT_EQ(edf_field_to_ticks(field), 10000);
    char exponent_field[] = "1E-3    ";
    EXPECT_EQ(edf_field_to_ticks(exponent_field), 10000);
    int64_t ticks = 0;
    EXPECT_TRUE(edf_text_to_ticks_checked("+12.5", &ticks));
    EXPECT_EQ(ticks, 125000000);
}

} // namespace
