// De-identification: after edf_anonymize_file no identifying text of the source is left
// anywhere in the file, while samples, annotation times and (unless dropped) annotation texts
// are unchanged, the start reads 1985-01-01 and the age at recording is kept when asked.
#include "reader_test_files.h"
#include "windows_skips.h"
#include "recording/operations/anonymize_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <vector>

using namespace edf;

using namespace reader_test;
using namespace std::string_literals;

namespace {

constexpr int records = 10;
constexpr int samples = 4096; // records over 16 KiB: the copy that patches annotation signals

// `repaired`: an EDF+ file that only the tolerant open reads; `discontinuous`: an EDF+D file.
enum class kind { edf, edfplus, bdf, bdfplus, repaired, discontinuous };

bool is_plus(kind k) {
    return k != kind::edf && k != kind::bdf;
}
bool is_bdf(kind k) {
    return k == kind::bdf || k == kind::bdfplus;
}

int sample_value(int r, int s, int i) {
    return (r * 977 + s * 131 + i * 37) % 20000 - 10000;
}

// The source: 2019-03-14 10:20:30, a patient and a recording described in every field, two
// signals and, in EDF+/BDF+, three annotations (one with identifying text). BDF+ and EDF+D
// files start 0.25 s after the second; the EDF+D file pauses for 2 s after its fifth record.
std::string make_source(temp_dir &dir, kind k) {
    const std::string path = dir.file(is_bdf(k) ? "source.bdf" : "source.edf");
    if (!is_plus(k)) {
        file_spec f;
        f.bdf = is_bdf(k);
        f.reserved = "";
        f.patient = "MCH-0234567 Jane_Doe 02-MAY-1951 lives at Elm Street";
        f.recording = "Startdate 14-MAR-2019 ADM-7781 Tech_Smith Amp_Model_9 room 12 bed 4";
        f.start_date = "14.03.19";
        f.start_time = "10.20.30";
        const int lo = f.bdf ? -8388608 : -32768;
        f.signals = {{"EEG", samples, lo, -lo - 1}, {"ECG", samples, lo, -lo - 1}};
        std::string bytes = header_bytes(f, records);
        for (int r = 0; r < records; r++) {
            for (int s = 0; s < 2; s++) {
                for (int i = 0; i < samples; i++) {
                    const int v = sample_value(r, s, i);
                    bytes += f.bdf ? sample24(v) : sample16(v);
                }
            }
        }
        write_bytes(path, bytes);
        return path;
    }
    const int h = open_configured(path, 2, samples, is_bdf(k));
    EXPECT_GE(h, 0);
    edf_set_patientcode(h, "MCH-0234567");
    edf_set_patientname(h, "Jane Doe");
    edf_set_sex(h, EDF_FEMALE);
    edf_set_birthdate(h, 1951, 5, 2);
    edf_set_patient_additional(h, "lives at Elm Street");
    edf_set_admincode(h, "ADM-7781");
    edf_set_technician(h, "Tech Smith");
    edf_set_equipment(h, "Amp Model 9");
    edf_set_recording_additional(h, "room 12 bed 4");
    edf_set_startdatetime(h, 2019, 3, 14, 10, 20, 30);
    if (is_bdf(k) || k == kind::discontinuous) {
        edf_set_subsecond_starttime(h, 2500000);
    }
    if (k == kind::discontinuous) {
        edf_set_discontinuous(h);
    }
    std::vector<int> values(samples);
    for (int r = 0; r < records; r++) {
        if (k == kind::discontinuous && r == 5) {
            edf_set_record_start(h, 7000000);
        }
        for (int s = 0; s < 2; s++) {
            for (int i = 0; i < samples; i++) {
                values[i] = sample_value(r, s, i);
            }
            edfwrite_digital_samples(h, values.data());
        }
    }
    edfwrite_annotation_utf8_us(h, 0, -1, "Recording starts");
    edfwrite_annotation_utf8_us(h, 2500000, 1000000, "Lights off: nurse Ingrid");
    edfwrite_annotation_utf8_us(h, 7123456, 0, "Arousal");
    EXPECT_EQ(edfclose_file(h), 0);
    return path;
}

struct reading {
    std::unique_ptr<edf_header_info> header = new_header();
    std::vector<edf_annotation> annotations;
    std::vector<std::vector<int>> signals;
    std::vector<int64_t> record_starts;
};

// The file as the strict open reads it (an EDF+D file: the tolerant open, which finds nothing
// wrong with it but its gaps): header, every annotation, every sample, every record's start.
reading read_all(const std::string &path, kind k) {
    reading out;
    if (k == kind::discontinuous) {
        EXPECT_EQ(edfopen_file_readonly_tolerant(path.c_str(), out.header.get(),
                                                 EDF_READ_ALL_ANNOTATIONS),
                  0);
        EXPECT_EQ(edf_get_problem_count(out.header->handle), 1); // the discontinuity
    } else {
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), out.header.get(), EDF_READ_ALL_ANNOTATIONS),
                  0)
            << path << ": " << out.header->filetype;
    }
    const int h = out.header->handle;
    if (h < 0) {
        return out;
    }
    for (int r = 0; r < out.header->datarecord_count; r++) {
        out.record_starts.push_back(edf_get_record_start(h, r));
    }
    for (int n = 0; n < out.header->annotation_count; n++) {
        out.annotations.emplace_back();
        EXPECT_EQ(edf_get_annotation(h, n, &out.annotations.back()), 0);
    }
    for (int s = 0; s < out.header->ordinary_signal_count; s++) {
        out.signals.emplace_back(records * samples);
        EXPECT_EQ(edfread_digital_samples(h, s, records * samples, out.signals.back().data()),
                  records * samples);
    }
    edfclose_file(h);
    return out;
}

int64_t day_number(int y, int m, int d) {
    using namespace std::chrono;
    return sys_days(year_month_day(year(y), month(static_cast<unsigned>(m)),
                                   day(static_cast<unsigned>(d))))
        .time_since_epoch()
        .count();
}

// Every text that identifies the patient, the recording or its date, in each form in which
// the header or the library writes it.
std::vector<std::string> identifying_texts(int flags) {
    std::vector<std::string> texts = {"MCH-0234567", "Jane",        "Doe",      "02-MAY-1951",
                                      "02 may 1951", "02.05.1951",  "02.05.51", "1951",
                                      "Elm Street",  "ADM-7781",    "Tech",     "Smith",
                                      "Amp_Model_9", "Amp Model 9", "Amp",      "room 12",
                                      "14-MAR-2019", "14.03.19",    "2019"};
    if ((flags & EDF_ANON_KEEP_START_TIME) == 0) {
        texts.insert(texts.end(), {"10.20.30", "10:20:30"});
    }
    if ((flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0) {
        texts.insert(texts.end(), {"Ingrid", "Lights off", "Arousal", "Recording starts"});
    }
    return texts;
}

// No temporary repaired copy is left beside the copies.
int temporaries_left(const temp_dir &dir) {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        n += entry.path().filename().string().find(".repairing-") != std::string::npos;
    }
    return n;
}

struct proof_case {
    kind type;
    int flags;
};

class AnonymizeProof : public ::testing::TestWithParam<proof_case> {};

TEST_P(AnonymizeProof, NoIdentifyingByteIsLeftAndNothingElseChanges) {
    const proof_case c = GetParam();
    close_all_handles guard;
    temp_dir dir;
    const std::string source = make_source(dir, c.type);
    const reading before = read_all(source, c.type);
    const std::string conforming_bytes = read_bytes(source);
    if (c.type == kind::repaired) {
        // No record count, ':' between the parts of the start time, and half a record more.
        patch_bytes(source, 176, "10:20:30");
        patch_bytes(source, 236, "-1      ");
        write_bytes(source, read_bytes(source) + std::string(1000, '\x55'));
    }
    const std::string original_bytes = read_bytes(source);
    const bool needs_copy =
        is_plus(c.type) &&
        ((before.header->start_subsecond != 0 && (c.flags & EDF_ANON_KEEP_START_TIME) == 0) ||
         (c.flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0);

    for (const bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "in place" : "copy");
        std::string result = dir.file("copy.edf");
        if (in_place) {
            result = dir.file("in_place.edf");
            write_bytes(result, original_bytes);
            if (c.type == kind::repaired) { // in place only what the strict open accepts
                EXPECT_EQ(edf_anonymize_file(result.c_str(), nullptr, c.flags), EDF_ERR_FORMAT);
                EXPECT_EQ(read_bytes(result), original_bytes);
                continue;
            }
            if (needs_copy) {
                EXPECT_EQ(edf_anonymize_file(result.c_str(), nullptr, c.flags), EDF_ERR_NEEDS_COPY);
                EXPECT_EQ(read_bytes(result), original_bytes);
                continue;
            }
        }
        ASSERT_EQ(edf_anonymize_file(in_place ? result.c_str() : source.c_str(),
                                     in_place ? nullptr : result.c_str(), c.flags),
                  0);
        EXPECT_EQ(read_bytes(source), original_bytes); // the source is never written
        EXPECT_EQ(temporaries_left(dir), 0);

        const std::string bytes = read_bytes(result);
        ASSERT_EQ(bytes.size(), conforming_bytes.size());
        for (const std::string &text : identifying_texts(c.flags)) {
            EXPECT_EQ(bytes.find(text), std::string::npos) << "'" << text << "' is left";
        }
        const reading after = read_all(result, c.type);
        const edf_header_info &a = *after.header;
        const edf_header_info &b = *before.header;
        EXPECT_EQ(a.filetype, b.filetype);
        EXPECT_EQ(a.start_year * 10000 + a.start_month * 100 + a.start_day, 19850101);
        const bool keep_time = (c.flags & EDF_ANON_KEEP_START_TIME) != 0;
        EXPECT_EQ(a.start_hour * 3600 + a.start_minute * 60 + a.start_second,
                  keep_time ? 10 * 3600 + 20 * 60 + 30 : 0);
        EXPECT_EQ(a.start_subsecond, keep_time ? b.start_subsecond : 0);
        if (is_plus(c.type)) {
            EXPECT_STREQ(a.sex, (c.flags & EDF_ANON_KEEP_SEX) != 0 ? "Female" : "");
            if ((c.flags & EDF_ANON_KEEP_AGE) != 0) {
                EXPECT_EQ(day_number(a.start_year, a.start_month, a.start_day) -
                              day_number(a.birth_year, a.birth_month, a.birth_day),
                          day_number(b.start_year, b.start_month, b.start_day) -
                              day_number(b.birth_year, b.birth_month, b.birth_day));
            } else {
                EXPECT_EQ(a.birth_year, 0);
            }
        }
        EXPECT_EQ(after.signals, before.signals);
        EXPECT_EQ(after.record_starts, before.record_starts);
        ASSERT_EQ(after.annotations.size(), before.annotations.size());
        for (size_t n = 0; n < before.annotations.size(); n++) {
            EXPECT_EQ(after.annotations[n].onset, before.annotations[n].onset);
            EXPECT_EQ(after.annotations[n].duration, before.annotations[n].duration);
            EXPECT_STREQ(after.annotations[n].duration_text, before.annotations[n].duration_text);
            EXPECT_STREQ(after.annotations[n].annotation,
                         (c.flags & EDF_ANON_DROP_ANNOTATION_TEXTS) != 0
                             ? "X"
                             : before.annotations[n].annotation);
        }
        // Sample bytes as stored: the whole data part of plain files, the ordinary signals'
        // part of every record of EDF+/BDF+ files (the annotation signal comes last).
        const size_t header = 256 * (is_plus(c.type) ? 4 : 3);
        const size_t sample_bytes = 2 * samples * (is_bdf(c.type) ? 3 : 2);
        const size_t record = sample_bytes + (is_plus(c.type) ? 120 : 0);
        for (size_t r = 0; r < records; r++) {
            EXPECT_EQ(bytes.compare(header + r * record, sample_bytes, conforming_bytes,
                                    header + r * record, sample_bytes),
                      0)
                << "record " << r;
        }
        EXPECT_EQ(bytes.substr(256, header - 256), conforming_bytes.substr(256, header - 256));
    }
}

std::vector<proof_case> proof_cases() {
    std::vector<proof_case> cases;
    for (const kind k : {kind::edf, kind::edfplus, kind::bdf, kind::bdfplus, kind::repaired,
                         kind::discontinuous}) {
        for (const int flags : {0, EDF_ANON_KEEP_SEX | EDF_ANON_KEEP_AGE, EDF_ANON_KEEP_START_TIME,
                                EDF_ANON_DROP_ANNOTATION_TEXTS,
                                EDF_ANON_KEEP_SEX | EDF_ANON_KEEP_AGE | EDF_ANON_KEEP_START_TIME |
                                    EDF_ANON_DROP_ANNOTATION_TEXTS}) {
            cases.push_back({k, flags});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllTypes, AnonymizeProof, ::testing::ValuesIn(proof_cases()));

// The rewritten annotation signals, byte for byte: onsets move back by the sub-second start
// (in their shortest form), durations stay as written, texts become "X" when dropped; a list
// that no longer fits its signal is refused and no copy is left.
TEST(AnonymizeFile, RewritesAnnotationListsExactly) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = dir.file("tal.edf");
    const std::string copy = dir.file("tal_copy.edf");
    const std::string tk0 = timekeeping("0.25");
    write_bytes(source, annotation_only_file({tk0 + "-0.5\x15"
                                                    "1.50\x14"
                                                    "a\x14\x14\0"s,
                                              timekeeping("1.25") + "+1.2500001\x14"
                                                                    "b\x14\0"s}));
    const size_t header = 512;
    struct {
        int flags;
        std::string record0, record1;
    } const cases[] = {
        {0,
         "+0\x14\x14\0-0.75\x15"
         "1.50\x14"
         "a\x14\x14\0"s,
         "+1\x14\x14\0+1.0000001\x14"
         "b\x14\0"s},
        {EDF_ANON_DROP_ANNOTATION_TEXTS,
         "+0\x14\x14\0-0.75\x15"
         "1.50\x14X\x14X\x14\0"s,
         "+1\x14\x14\0+1.0000001\x14X\x14\0"s},
        {EDF_ANON_KEEP_START_TIME | EDF_ANON_DROP_ANNOTATION_TEXTS,
         tk0 + "-0.5\x15"
               "1.50\x14X\x14X\x14\0"s,
         timekeeping("1.25") + "+1.2500001\x14X\x14\0"s},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(edf_anonymize_file(source.c_str(), copy.c_str(), c.flags), 0) << c.flags;
        const std::string bytes = read_bytes(copy);
        EXPECT_EQ(bytes.substr(header, 120), tal_bytes(c.record0)) << c.flags;
        EXPECT_EQ(bytes.substr(header + 120, 120), tal_bytes(c.record1)) << c.flags;
        auto h = new_header();
        EXPECT_EQ(edfopen_file_readonly(copy.c_str(), h.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        edfclose_file(h->handle);
    }

    // A hundred empty texts nearly fill the signal; as "X" they would not fit.
    write_bytes(source, annotation_only_file(
                            {timekeeping("0") + "+1\x14" + std::string(100, '\x14') + "\0"s}));
    EXPECT_EQ(edf_anonymize_file(source.c_str(), copy.c_str(), EDF_ANON_DROP_ANNOTATION_TEXTS),
              EDF_ERR_ANONYMIZED_VALUE);
    EXPECT_FALSE(std::filesystem::exists(copy));
}

// In place the whole file is checked before a byte changes, as the strict open checks it:
// a file that it refuses because of a later record is left as it was (and so is refused
// after the call as before), one that it accepts is de-identified.
TEST(AnonymizeFile, InPlaceChecksEveryRecordFirst) {
    close_all_handles guard;
    temp_dir dir;
    temp_dir other;
    const std::string plus = read_bytes(make_source(dir, kind::edfplus));
    const std::string gaps = read_bytes(make_source(other, kind::discontinuous));
    // Record r's annotation signal: its time-keeping annotation ("+r", in the EDF+D file the
    // record's own start), then zeros. Damage at `from` bytes into it, or just after the
    // time-keeping annotation (a TAL that breaks the format, which only a reading of every
    // annotation sees).
    const auto damaged = [](std::string bytes, int r, const std::string &junk, int from = -1) {
        const size_t signal = 1024 + static_cast<size_t>(r) * (4 * samples + 120) + 4 * samples;
        const size_t at =
            from >= 0 ? signal + static_cast<size_t>(from) : bytes.find("\x14\x14\0"s, signal) + 3;
        return bytes.replace(at, junk.size(), junk);
    };
    const struct {
        const char *name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"EDF+, conforming", plus, 0},
        {"EDF+, a broken annotation list in the last record", damaged(plus, 9, "+9\x14x"),
         EDF_ERR_FORMAT},
        {"EDF+, a later record's time-keeping annotation unreadable", damaged(plus, 6, "+6x", 0),
         EDF_ERR_FORMAT},
        {"EDF+D, conforming", gaps, 0},
        {"EDF+D, a broken annotation list in a later record", damaged(gaps, 8, "+1\x14x"),
         EDF_ERR_DISCONTINUOUS},
    };
    const std::string path = dir.file("in_place.edf");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_bytes(path, c.bytes);
        const int checked = edf_check_file(path.c_str(), nullptr, 0);
        EXPECT_EQ(edf_anonymize_file(path.c_str(), nullptr, EDF_ANON_KEEP_START_TIME), c.expected);
        if (c.expected != 0) {
            EXPECT_TRUE(read_bytes(path) == c.bytes) << "the file changed";
            continue;
        }
        const std::string bytes = read_bytes(path);
        EXPECT_NE(bytes.substr(0, 256), c.bytes.substr(0, 256));
        EXPECT_TRUE(bytes.substr(256) == c.bytes.substr(256));
        EXPECT_EQ(edf_check_file(path.c_str(), nullptr, 0), checked);
    }
}

TEST(AnonymizeFile, RefusesWhatItCannotDoAndChangesNothing) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = make_source(dir, kind::edfplus);
    const std::string original = read_bytes(source);
    const std::string link = dir.file("link.edf");
    std::filesystem::create_hard_link(source, link);
    // A birth date that moved back with the start date would fall before the year 1.
    const std::string ancient = dir.file("ancient.edf");
    file_spec f;
    f.patient = "X F 01-JAN-0050 X";
    f.start_date = "01.01.84";
    f.signals = {annotation_signal_spec(false)};
    write_bytes(ancient, header_bytes(f, 1) + tal_bytes(timekeeping("0")));
    const std::string missing = dir.file("missing.edf");
    const std::string out = dir.file("out.edf");
    // Cut short: the tolerant open reads it (a copy is repaired), the strict open does not.
    const std::string broken = dir.file("broken.edf");
    write_bytes(broken, original.substr(0, original.size() - 1));
    // Cut inside the header: neither open reads it.
    const std::string headless = dir.file("headless.edf");
    write_bytes(headless, original.substr(0, 300));
    // An EDF+D file cut short: repaired into a copy, which stays discontinuous.
    temp_dir other;
    const std::string broken_d = make_source(other, kind::discontinuous);
    write_bytes(broken_d, read_bytes(broken_d) + "x");

    struct {
        const char *path;
        const char *out;
        int flags;
        int expected;
    } const cases[] = {
        {nullptr, nullptr, 0, EDF_ERR_CANNOT_OPEN},
        {source.c_str(), nullptr, 16, -1},
        {source.c_str(), link.c_str(), 0, EDF_ERR_ALREADY_OPEN},
        {missing.c_str(), nullptr, 0, EDF_ERR_CANNOT_OPEN},
        {broken.c_str(), nullptr, 0, EDF_ERR_FORMAT},
        {headless.c_str(), out.c_str(), 0, EDF_ERR_READ},
        {broken_d.c_str(), nullptr, 0, EDF_ERR_FORMAT},
        {ancient.c_str(), nullptr, EDF_ANON_KEEP_AGE, EDF_ERR_ANONYMIZED_VALUE},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edf_anonymize_file(c.path, c.out, c.flags), c.expected)
            << (c.path ? c.path : "null") << " " << c.flags;
    }
    EXPECT_EQ(edf_anonymize_file(ancient.c_str(), nullptr, 0), 0);
    ASSERT_EQ(edf_anonymize_file(broken_d.c_str(), out.c_str(), 0), 0);
    temp_dir third;
    EXPECT_EQ(read_all(out, kind::discontinuous).record_starts,
              read_all(make_source(third, kind::discontinuous), kind::discontinuous).record_starts);
    std::filesystem::remove(out);

    // Open in this process, as the source or as the copy.
    auto h = new_header();
    ASSERT_EQ(edfopen_file_readonly(source.c_str(), h.get(), EDF_READ_NO_ANNOTATIONS), 0);
    EXPECT_EQ(edf_anonymize_file(source.c_str(), nullptr, 0), EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(edf_anonymize_file(ancient.c_str(), source.c_str(), 0), EDF_ERR_ALREADY_OPEN);
    edfclose_file(h->handle);
    EXPECT_EQ(read_bytes(source), original);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(temporaries_left(dir), 0);
}

// In place, a process stopped at any moment leaves the old fixed header part or the new one,
// and never touches the rest of the file.
#ifdef _WIN32
SKIPPED_ON_WINDOWS(AnonymizeFile, InterruptedInPlaceRunLeavesOldOrNewHeader,
                   "fork, and SIGKILL at a stage hook of the forked run")
#else
void kill_self(edf_anonymize_stage) {
    raise(SIGKILL);
}

// Runs the in-place de-identification in a child, killed at the stage `stop_at` (by a stage hook)
// or after `delay` microseconds (negative: never). Returns the file's bytes afterwards.
std::string run_killed_child(const std::string &path, edf_anonymize_stage *stop_at, int delay) {
    const pid_t child = fork();
    if (child == 0) {
        if (stop_at != nullptr) {
            static edf_anonymize_stage stage;
            stage = *stop_at;
            edf_anonymize_stage_hook = [](edf_anonymize_stage reached) {
                if (reached == stage) {
                    kill_self(reached);
                }
            };
        }
        _exit(edf_anonymize_file(path.c_str(), nullptr, 0) == 0 ? 0 : 1);
    }
    if (delay >= 0) {
        usleep(static_cast<useconds_t>(delay));
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return read_bytes(path);
}

TEST(AnonymizeFile, InterruptedInPlaceRunLeavesOldOrNewHeader) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = make_source(dir, kind::edfplus);
    const std::string old_bytes = read_bytes(source);
    const std::string path = dir.file("victim.edf");
    write_bytes(path, old_bytes);
    const auto started = std::chrono::steady_clock::now();
    const std::string new_bytes = run_killed_child(path, nullptr, -1);
    const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
    ASSERT_NE(new_bytes.substr(0, 256), old_bytes.substr(0, 256));
    ASSERT_EQ(new_bytes.substr(256), old_bytes.substr(256));

    for (edf_anonymize_stage stage :
         {edf_anonymize_stage::checked, edf_anonymize_stage::before_write}) {
        write_bytes(path, old_bytes);
        EXPECT_EQ(run_killed_child(path, &stage, -1), old_bytes);
    }
    std::mt19937 random(16);
    std::uniform_int_distribution<int> delay(0, static_cast<int>(run_us));
    for (int round = 0; round < 100; round++) {
        write_bytes(path, old_bytes);
        const std::string bytes = run_killed_child(path, nullptr, delay(random));
        if (bytes != old_bytes) {
            ASSERT_EQ(bytes, new_bytes) << "round " << round;
        }
    }
}

#endif

} // namespace
