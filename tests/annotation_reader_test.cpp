// Annotation extraction, observed through opening files for reading: which annotations a file
// yields, with which onsets, durations and texts, and which annotation signals refuse the
// file. The files are assembled byte by byte.
#include "reader_test_files.h"

#include "recording/core/recording.h"
#include "recording/reader/annotation_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace reader_test;

namespace {

const std::string nul(1, '\0');
const std::string dc4 = "\x14"; // ends an onset or an annotation text
const std::string nak = "\x15"; // a duration follows

struct opened {
    int result;
    int handle;
    int filetype;
    int64_t annotation_count;
    int64_t start_subsecond;
};

opened open_bytes(const temp_dir &dir, const std::string &bytes, int mode) {
    const std::string path = dir.file("a.edf");
    write_bytes(path, bytes);
    auto hdr = new_header();
    const int result = edfopen_file_readonly(path.c_str(), hdr.get(), mode);
    return {result, hdr->handle, hdr->filetype, hdr->annotation_count, hdr->start_subsecond};
}

std::vector<edf_annotation> annotations_of(int handle, int64_t count) {
    std::vector<edf_annotation> list(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        EXPECT_EQ(edf_get_annotation(handle, i, &list[static_cast<size_t>(i)]), 0);
    }
    return list;
}

// Opens, collects every annotation and closes.
std::vector<edf_annotation> read_all(const std::string &bytes, int mode = 2,
                                     int64_t *subsecond = nullptr) {
    temp_dir dir;
    const opened o = open_bytes(dir, bytes, mode);
    EXPECT_EQ(o.result, 0) << "filetype " << o.filetype;
    if (o.result != 0) {
        return {};
    }
    if (subsecond != nullptr) {
        *subsecond = o.start_subsecond;
    }
    auto list = annotations_of(o.handle, o.annotation_count);
    edfclose_file(o.handle);
    return list;
}

// The process-wide state that a failed open must leave as it was.
struct table_state {
    int open_files;
    std::array<edf_recording *, EDF_MAX_FILES> handles;

    static table_state now() {
        table_state s{edf_get_number_of_open_files(), {}};
        for (int i = 0; i < EDF_MAX_FILES; i++) {
            s.handles[static_cast<size_t>(i)] = edf_recording_for(i, edf_side::either);
        }
        return s;
    }
    bool operator==(const table_state &) const = default;
};

// Opening must fail with EDF_ERR_FORMAT in every mode that examines the record, and leave
// the tables untouched.
void expect_refused(const std::string &bytes, int mode = 2) {
    temp_dir dir;
    // Another file stays open meanwhile, so that the tables are not simply empty.
    const std::string other = dir.file("other.edf");
    write_bytes(other, annotation_only_file({timekeeping("0") + "+0\x14x\x14"}));
    auto other_hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(other.c_str(), other_hdr.get(), 2), 0);

    const table_state before = table_state::now();
    const opened o = open_bytes(dir, bytes, mode);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.handle, -1);
    EXPECT_EQ(o.filetype, EDF_ERR_FORMAT);
    EXPECT_TRUE(table_state::now() == before);
    edfclose_file(other_hdr->handle);
}

} // namespace

TEST(AnnotationExtraction, TimekeepingTalAloneYieldsNothing) {
    EXPECT_TRUE(read_all(annotation_only_file({timekeeping("0")})).empty());
    EXPECT_TRUE(
        read_all(annotation_only_file({"+0" + dc4 + dc4 + nul + "+1" + dc4 + nul})).empty());
}

TEST(AnnotationExtraction, AnnotationInTheTimekeepingTal) {
    const auto list = read_all(annotation_only_file({"+0" + dc4 + dc4 + "Recording starts" + dc4}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].onset, 0);
    EXPECT_EQ(list[0].duration, -10000000);
    EXPECT_STREQ(list[0].duration_text, "");
    EXPECT_STREQ(list[0].annotation, "Recording starts");
}

TEST(AnnotationExtraction, SubsecondStartShiftsOnsets) {
    int64_t subsecond = -1;
    const auto list =
        read_all(annotation_only_file({timekeeping("0.25") + "+10.25" + dc4 + "x" + dc4 + nul,
                                       timekeeping("1.25") + "-0.75" + dc4 + "y" + dc4}),
                 2, &subsecond);
    EXPECT_EQ(subsecond, 2500000);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].onset, 100000000);
    EXPECT_EQ(list[1].onset, -10000000);
}

TEST(AnnotationExtraction, DurationsAndSeveralTextsPerTal) {
    const auto list =
        read_all(annotation_only_file({timekeeping("0") + "+1.5" + nak + "2" + dc4 + "a" + dc4 +
                                       "b" + dc4 + nul + "+3" + nak + "0.0000001" + dc4 + dc4}));
    ASSERT_EQ(list.size(), 3u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(list[i].onset, 15000000);
        EXPECT_EQ(list[i].duration, 20000000);
        EXPECT_STREQ(list[i].duration_text, "2");
    }
    EXPECT_STREQ(list[0].annotation, "a");
    EXPECT_STREQ(list[1].annotation, "b");
    EXPECT_EQ(list[2].onset, 30000000);
    EXPECT_EQ(list[2].duration, 1);
    EXPECT_STREQ(list[2].annotation, ""); // an empty text is an annotation too
}

TEST(AnnotationExtraction, DurationCountsUpToItsFifteenthCharacter) {
    const auto list = read_all(annotation_only_file(
        {timekeeping("0") + "+1" + nak + "12345678901.2345" + dc4 + "long" + dc4}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].duration_text, "12345678901.234");
    EXPECT_EQ(list[0].duration, 123456789012340000);
}

TEST(AnnotationExtraction, OnlyTheFirst512TextBytesAreKeptAndChecked) {
    // An annotation signal of 400 samples (800 bytes) has room for a 600-byte text.
    file_spec f;
    f.signals = {annotation_signal_spec(false, 400)};
    auto file_with_text = [&](const std::string &text) {
        return header_bytes(f, 1) + tal_bytes(timekeeping("0") + "+1" + dc4 + text + dc4, 800);
    };
    std::string text(600, 'a');
    for (size_t i = 0; i < text.size(); i++) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    text[3] = '\t';
    text[4] = '\n';
    text[5] = '\r';
    text[6] = static_cast<char>(0xC3); // UTF-8 passes unchanged
    text[7] = static_cast<char>(0xA9);

    std::string late_control = text;
    late_control[520] = '\x01';
    const auto list = read_all(file_with_text(late_control));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list[0].annotation), text.substr(0, 512));

    std::string early_control = text;
    early_control[100] = '\x01';
    expect_refused(file_with_text(early_control));
    std::string del = text;
    del[511] = '\x7f';
    expect_refused(file_with_text(del));
}

TEST(AnnotationExtraction, EntriesComeInFileOrder) {
    // Two annotation signals around an ordinary one: record by record, signal by signal,
    // TAL by TAL.
    file_spec f;
    f.signals = {
        annotation_signal_spec(false), {"EEG", 4, -100, 100}, annotation_signal_spec(false)};
    std::string bytes = header_bytes(f, 2);
    for (int r = 0; r < 2; r++) {
        const std::string n = std::to_string(r);
        bytes += tal_bytes(timekeeping(n) + "+" + n + dc4 + "r" + n + "s0a" + dc4 + nul + "+" + n +
                           dc4 + "r" + n + "s0b" + dc4);
        bytes += std::string(8, '\0');
        bytes += tal_bytes("+" + n + ".5" + dc4 + "r" + n + "s1" + dc4);
    }
    const auto list = read_all(bytes);
    ASSERT_EQ(list.size(), 6u);
    const char *expected[] = {"r0s0a", "r0s0b", "r0s1", "r1s0a", "r1s0b", "r1s1"};
    for (size_t i = 0; i < 6; i++) {
        EXPECT_STREQ(list[i].annotation, expected[i]);
    }
    EXPECT_EQ(list[5].onset, 15000000);
}

TEST(AnnotationExtraction, SecondAnnotationSignalMayBeEmptyButNotTheFirst) {
    file_spec f;
    f.signals = {annotation_signal_spec(false), annotation_signal_spec(false)};
    EXPECT_TRUE(read_all(header_bytes(f, 1) + tal_bytes(timekeeping("0")) + tal_bytes("")).empty());
    expect_refused(header_bytes(f, 1) + tal_bytes("") + tal_bytes(timekeeping("0")));
}

TEST(AnnotationExtraction, BdfPlusAnnotationSignals) {
    file_spec f;
    f.bdf = true;
    f.reserved = "BDF+C";
    f.signals = {{"EEG", 2, -8388608, 8388607}, annotation_signal_spec(true)};
    std::string bytes = header_bytes(f, 2);
    bytes += std::string(6, '\0') + tal_bytes(timekeeping("0") + "+0.5" + dc4 + "one" + dc4);
    bytes += std::string(6, '\0') + tal_bytes(timekeeping("1"));
    const auto list = read_all(bytes);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].annotation, "one");
    EXPECT_EQ(list[0].onset, 5000000);
}

TEST(AnnotationExtraction, RecordsMustFollowEachOtherByTheRecordDuration) {
    EXPECT_EQ(
        read_all(annotation_only_file(
                     {timekeeping("0.5"), timekeeping("1.0000000"), timekeeping("1.5")}, "0.5"))
            .size(),
        0u);
    expect_refused(annotation_only_file({timekeeping("0"), timekeeping("2")}));
    expect_refused(annotation_only_file({timekeeping("0"), timekeeping("0")}));
    expect_refused(annotation_only_file({timekeeping("1")}));    // first record: below 1 s
    expect_refused(annotation_only_file({timekeeping("-0.5")})); // and not negative
    expect_refused(annotation_only_file({timekeeping("0.99999999"), timekeeping("2")}));
    EXPECT_EQ(read_all(annotation_only_file({"-0" + dc4 + dc4})).size(), 0u);
    // The longest time-keeping TAL that fits the signal, with its last byte zero.
    EXPECT_EQ(read_all(annotation_only_file({"+" + std::string(116, '0') + dc4 + dc4})).size(), 0u);
}

TEST(AnnotationExtraction, MalformedAnnotationSignalsRefuseTheFile) {
    const std::string tk = timekeeping("0");
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"last byte not zero", std::string(120, 'a')},
        {"last byte not zero after a valid TAL", tk + std::string(116, ' ')},
        {"no time-keeping TAL", "+0" + dc4 + nul},
        {"time-keeping TAL cut by the end", "+" + std::string(117, '0') + dc4},
        {"time-keeping onset without sign", "0" + dc4 + dc4},
        {"time-keeping onset sign only", "+" + dc4 + dc4},
        {"time-keeping onset point first", "+.5" + dc4 + dc4},
        {"time-keeping onset point last", "+5." + dc4 + dc4},
        {"time-keeping onset two points", "+0.1.2" + dc4 + dc4},
        {"time-keeping onset exponent", "+0e1" + dc4 + dc4},
        {"time-keeping annotation not empty", "+0" + dc4 + "x" + dc4},
        {"time-keeping TAL with a duration", "+0" + nak + "1" + dc4 + dc4},
        {"onset without sign", tk + "12" + dc4 + "x" + dc4},
        {"onset with a letter", tk + "+1a" + dc4 + "x" + dc4},
        {"empty duration", tk + "+1" + nak + dc4 + "x" + dc4},
        {"duration with a sign", tk + "+1" + nak + "+2" + dc4 + "x" + dc4},
        {"duration point first", tk + "+1" + nak + ".5" + dc4 + "x" + dc4},
        {"duration point last", tk + "+1" + nak + "5." + dc4 + "x" + dc4},
        {"duration two points", tk + "+1" + nak + "1.2.3" + dc4 + "x" + dc4},
        {"second duration mark", tk + "+1" + nak + "2" + nak + "3" + dc4 + "x" + dc4},
        {"duration mark among texts", tk + "+1" + dc4 + "x" + nak + dc4},
        {"control byte in a text", tk + "+1" + dc4 + "a\x01" + "b" + dc4},
        {"DEL in a text", tk + "+1" + dc4 + "a\x7f" + dc4},
        {"TAL without its closing 0x14", tk + "+1" + dc4 + "abc"},
        {"zero byte inside an onset", tk + "+1" + nul + "2" + dc4 + "x" + dc4},
        {"data after the padding", tk + nul + "+1" + dc4 + "x" + dc4},
        {"onset beyond 64 bits", tk + "+922337203685.4775808" + dc4 + "x" + dc4},
        {"negative onset beyond 64 bits", tk + "-922337203685.4775809" + dc4 + "x" + dc4},
        {"duration beyond 64 bits", tk + "+1" + nak + "999999999999999" + dc4 + "x" + dc4},
        {"time-keeping onset beyond 64 bits", "+99999999999999999999" + dc4 + dc4},
    };
    for (const auto &[name, signal] : cases) {
        SCOPED_TRACE(name);
        expect_refused(annotation_only_file({signal}));
        // The same signal in the second record, after a valid first one.
        if (signal.compare(0, tk.size(), tk) == 0) {
            std::string second = signal;
            second.replace(1, 1, "1");
            expect_refused(annotation_only_file({tk, second}));
        }
    }
}

TEST(AnnotationExtraction, LimitsOfTheTickRange) {
    // The most negative onset fits 64 bits, but not once the sub-second start is taken off.
    const std::string lowest = "-922337203685.4775808";
    const auto list = read_all(
        annotation_only_file({timekeeping("0") + lowest + dc4 + "x" + dc4,
                              timekeeping("1") + "+922337203685.4775807" + dc4 + "y" + dc4}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].onset, INT64_MIN);
    EXPECT_EQ(list[1].onset, INT64_MAX);
    expect_refused(annotation_only_file({timekeeping("0.5") + lowest + dc4 + "x" + dc4}));
    // Digits beyond the seventh decimal are dropped, not counted against the range.
    EXPECT_EQ(read_all(annotation_only_file(
                           {timekeeping("0") + "+922337203685.47758079999" + dc4 + "z" + dc4}))
                  .at(0)
                  .onset,
              INT64_MAX);
}

TEST(AnnotationExtraction, ModeZeroReadsOnlyTheFirstRecord) {
    const std::string bytes = annotation_only_file(
        {timekeeping("0.125") + "+1" + dc4 + "x" + dc4, std::string(120, 'a')});
    temp_dir dir;
    const opened o = open_bytes(dir, bytes, EDF_READ_NO_ANNOTATIONS);
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.annotation_count, 0);
    EXPECT_EQ(o.start_subsecond, 1250000);
    edf_annotation a;
    EXPECT_EQ(edf_get_annotation(o.handle, 0, &a), -1);
    edfclose_file(o.handle);
    // The first record's time-keeping TAL is still checked.
    expect_refused(annotation_only_file({timekeeping("1")}), EDF_READ_NO_ANNOTATIONS);
    expect_refused(bytes, EDF_READ_ANNOTATIONS);
}

TEST(AnnotationExtraction, ModeOneStopsAfterRecordingEndsInASingleAnnotationSignal) {
    const std::string signal =
        timekeeping("0") + "+5" + dc4 + "Recording ends here" + dc4 + nul + "bad" + dc4 + nul;
    const std::string bytes =
        annotation_only_file({signal, timekeeping("1") + "+1" + dc4 + "next" + dc4});
    const auto list = read_all(bytes, EDF_READ_ANNOTATIONS);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].annotation, "Recording ends here");
    EXPECT_STREQ(list[1].annotation, "next"); // the next record is read normally
    expect_refused(bytes, EDF_READ_ALL_ANNOTATIONS);
    // The rest of the record is still examined in the next record.
    expect_refused(annotation_only_file({signal, timekeeping("1") + "bad" + dc4}),
                   EDF_READ_ANNOTATIONS);

    // With two annotation signals nothing is skipped.
    file_spec f;
    f.signals = {annotation_signal_spec(false), annotation_signal_spec(false)};
    expect_refused(header_bytes(f, 1) + tal_bytes(signal) + tal_bytes(""), EDF_READ_ANNOTATIONS);
}

TEST(AnnotationExtraction, LargeRecordsAndScatteredAnnotationSignals) {
    // Records of about 90 kB with annotation signals at the start, the middle and the end:
    // the annotation signals are read apart from the samples around them.
    file_spec f;
    f.signals = {annotation_signal_spec(false),
                 {"A", 20000, -100, 100},
                 annotation_signal_spec(false),
                 {"B", 25000, -100, 100},
                 annotation_signal_spec(false)};
    const int records = 5;
    auto build = [&](int broken_record, int broken_signal) {
        std::string bytes = header_bytes(f, records);
        for (int r = 0; r < records; r++) {
            const std::string n = std::to_string(r);
            for (int k = 0; k < 3; k++) {
                std::string s = k == 0 ? timekeeping(n) : "";
                s += "+" + n + dc4 + "r" + n + "k" + std::to_string(k) + dc4;
                if (r == broken_record && k == broken_signal) {
                    s += nul + "x";
                }
                bytes += tal_bytes(s);
                if (k == 0) {
                    bytes += std::string(40000, '\x11');
                } else if (k == 1) {
                    bytes += std::string(50000, '\x22');
                }
            }
        }
        return bytes;
    };
    const auto list = read_all(build(-1, -1));
    ASSERT_EQ(list.size(), 15u);
    EXPECT_STREQ(list[7].annotation, "r2k1");
    EXPECT_EQ(list[14].onset, 40000000);
    for (int k = 0; k < 3; k++) {
        expect_refused(build(4, k));
    }
}

TEST(AnnotationExtraction, ManyTinyRecords) {
    // 20000 records of one sample plus the annotation signal; an annotation in every record.
    file_spec f;
    f.record_duration = "0.001";
    f.signals = {{"S", 1, -100, 100}, annotation_signal_spec(false)};
    const int records = 20000;
    std::string bytes = header_bytes(f, records);
    for (int r = 0; r < records; r++) {
        char time[32];
        std::snprintf(time, sizeof time, "%d.%03d", r / 1000, r % 1000);
        bytes += sample16(r % 100) +
                 tal_bytes(timekeeping(time) + "+" + time + dc4 + std::to_string(r) + dc4);
    }
    const auto list = read_all(bytes);
    ASSERT_EQ(list.size(), static_cast<size_t>(records));
    EXPECT_STREQ(list[12345].annotation, "12345");
    EXPECT_EQ(list[12345].onset, 123450000);
    bytes[bytes.size() - 1] = 'x';
    expect_refused(bytes);
}

// Result codes that the open cannot show apart: a record that cannot be read whole is 2, a
// broken rule 9. The recording block is assembled here as header parsing would leave it.
TEST(AnnotationExtraction, ShortFileIsAReadFailure) {
    temp_dir dir;
    for (const int ordinary : {4, 30000}) { // records read whole, and read in parts
        SCOPED_TRACE(ordinary);
        const std::string path = dir.file("short.edf");
        std::string record = sample16(0);
        record.resize(static_cast<size_t>(ordinary) * 2, '\0');
        file_spec f;
        f.signals = {{"S", ordinary, -100, 100}, annotation_signal_spec(false)};
        std::string bytes = header_bytes(f, 3);
        for (int r = 0; r < 3; r++) {
            bytes += record + tal_bytes(timekeeping(std::to_string(r)));
        }
        bytes.resize(bytes.size() - 1); // the last record lacks its last byte
        write_bytes(path, bytes);

        auto *r = new edf_reader_state();
        auto *signals = static_cast<edf_signal_param *>(std::calloc(2, sizeof(edf_signal_param)));
        r->file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(r->file, nullptr);
        r->source = edf_byte_source::over_file(fileno(r->file));
        r->signals = signals;
        r->signal_count = 2;
        r->header_size = 256 * 3;
        r->file_type = edf_file_type::edfplus;
        r->datarecord_count = 3;
        r->datarecord_duration_ticks = 10000000;
        r->record_size = ordinary * 2 + 120;
        r->annotation_signal_count = 1;
        r->annotation_signal_indexes[0] = 1;
        signals[0].samples_per_record = ordinary;
        signals[1].samples_per_record = 60;
        signals[1].buffer_offset = ordinary * 2;
        signals[1].is_annotation = 1;
        EXPECT_EQ(edf_extract_annotations(r, true, EDF_READ_ALL_ANNOTATIONS), 2);
        EXPECT_EQ(edf_extract_annotations(r, true, EDF_READ_NO_ANNOTATIONS), 0);
        r->datarecord_count = 2;
        EXPECT_EQ(edf_extract_annotations(r, true, EDF_READ_ALL_ANNOTATIONS), 0);
        // A broken rule in a record before the short one is reported first.
        r->datarecord_count = 3;
        r->datarecord_duration_ticks = 20000000;
        EXPECT_EQ(edf_extract_annotations(r, true, EDF_READ_ALL_ANNOTATIONS), 9);

        std::fclose(r->file);
        r->file = nullptr;
        delete r;
    }
}
