// The annotation-list codec: what the tokenizer finds in an annotation signal's bytes (and
// where a TAL breaks which rule), the time forms of the formatter, and the length bound of the
// writer's TALs. Broad sweeps are the fuzz target's (fuzz/fuzz_tal_codec.cpp).
#include "recording/core/tal_codec.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace edf;

using namespace edf::tal;

namespace {

// The tokens of a signal as "kind start-end", a broken one with its rule, a whole TAL with
// its onset, duration and texts.
std::string tokens_of(const std::string &bytes) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto length = static_cast<int64_t>(bytes.size());
    static const char *const kinds[] = {"tal", "empty", "padding", "bad_padding", "broken", "cut"};
    std::ostringstream out;
    token t;
    for (int64_t at = 0; next_token(s, length, at, &t); at = t.next) {
        out << (at == 0 ? "" : " ") << kinds[static_cast<int>(t.kind)] << ' ' << t.start << '-'
            << t.end;
        if (t.kind == token_kind::broken) {
            out << " (" << t.broken_rule << ')';
        }
        if (t.kind == token_kind::tal) {
            out << " @" << t.onset;
            if (t.has_duration) {
                out << '/' << t.duration;
            }
            for (texts x(s, t); x.next();) {
                out << " ["
                    << bytes.substr(static_cast<size_t>(x.begin),
                                    static_cast<size_t>(x.close - x.begin))
                    << ']';
            }
        }
    }
    return out.str();
}

} // namespace

TEST(TalCodec, TokensOfAnAnnotationSignal) {
    const std::string z(1, '\0');
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"+0\x14\x14" + z + "+1.5\x15" "2\x14" "a\x14" "b\x14" + z + z + z,
         "tal 0-4 @0 [] tal 5-16 @15000000/20000000 [a] [b] padding 17-19"},
        // One zero byte ends a TAL; a signal may begin with one (an empty list).
        {z + "+1\x14" + z, "empty 0-0 tal 1-4 @10000000"},
        {"-0.0000001\x14x\x14" + z, "tal 0-13 @-1 [x]"},
        {"+1\x14x\x14" + z + z + "y" + z, "tal 0-5 @10000000 [x] bad_padding 6-9"},
        {"+1\x14" "abc" + z + "+2\x14" + z, "broken 0-6 (it ends without 0x14) tal 7-10 @20000000"},
        {"+1\x14" "a\x15" "b\x14" + z, "broken 0-4 (a bad onset before 0x15)"},
        {"+1\x15" "2\x15" "3\x14" + z, "broken 0-4 (a bad onset before 0x15)"},
        {"1\x14x\x14" + z, "broken 0-1 (a bad onset)"},
        {"+.5\x14x\x14" + z, "broken 0-3 (a bad onset)"},
        {"+1\x15-2\x14x\x14" + z, "broken 0-5 (a bad duration)"},
        // The duration counts up to its 15th character.
        {"+0\x15" "12345678901.2345\x14\x14" + z, "tal 0-21 @0/123456789012340000 []"},
        {"+922337203686\x14x\x14" + z, "broken 0-13 (a bad onset)"},
        {"+1\x14x\x14y", "cut 0-6"},
    };
    // clang-format on
    for (const auto &[bytes, expected] : cases) {
        EXPECT_EQ(tokens_of(bytes), expected);
    }
}

TEST(TalCodec, TheTimekeepingTalOpensTheSignal) {
    const std::string z(1, '\0');
    const std::pair<std::string, int64_t> cases[] = {
        {"+0.25\x14\x14" + z, 2500000},
        {"+3\x14\x14note\x14" + z, 30000000},
        {"+3\x14x\x14" + z, -1},
        {"+3\x15"
         "1\x14\x14" +
             z,
         -1},
        {"x+3\x14\x14" + z, -1},
        {"+3\x14\x14", -1}, // no room for a byte after them
        {z + "+3\x14\x14" + z + z, -1}};
    for (const auto &[bytes, expected] : cases) {
        int64_t ticks = -1;
        const bool read = read_timekeeping(reinterpret_cast<const unsigned char *>(bytes.data()),
                                           static_cast<int64_t>(bytes.size()), &ticks);
        EXPECT_EQ(read, expected >= 0) << bytes;
        EXPECT_EQ(ticks, expected) << bytes;
    }
}

TEST(TalCodec, TimeForms) {
    struct time_case {
        int64_t ticks;
        time_form form;
        const char *text;
    };
    const time_case cases[] = {
        {0, time_form::shortest, "+0"},
        {2500000, time_form::shortest, "+0.25"},
        {-15000000, time_form::shortest, "-1.5"},
        {INT64_MIN, time_form::shortest, "-922337203685.4775808"},
        {10000000, time_form::seven_digits, "+1.0000000"},
        {10000000, time_form::seven_when_fraction, "+1"},
        {10000001, time_form::seven_when_fraction, "+1.0000001"},
        {3000000000, time_form::microseconds, "+300"},
        {15000000, time_form::microseconds, "+1.500000"},
        {15000001, time_form::microseconds, "+1.5000001"},
    };
    for (const time_case &c : cases) {
        char out[32];
        EXPECT_EQ(std::string(out, static_cast<size_t>(format_onset(c.ticks, c.form, out))),
                  c.text);
    }
}

// The longest time-keeping TAL (24 bytes) and the longest annotation TAL (84 bytes with its
// zero byte) together leave the last byte of a 120-byte annotation signal zero, as readers
// require.
TEST(TalCodec, LongestTalsFitOneAnnotationSignal) {
    unsigned char out[128];
    EXPECT_EQ(
        timekeeping_tal(INT64_MAX / 600000000 * 600000000 + 9999999, time_form::seven_digits, out),
        24);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 21), "+922337203680.9999999");
    const std::string text(50, 't');
    EXPECT_EQ(writer_tal(INT64_MAX, INT64_MAX / 10, text.c_str(), out), 84);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 42), "+922337203685.4775807\x15"
                                                              "922337203685.477580\x14");
    EXPECT_EQ(out[83], 0);
}
