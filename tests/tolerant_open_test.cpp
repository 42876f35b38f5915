// The tolerant open, the check and the repaired copy, on a corpus of hand-broken files made
// here from one small EDF+ file: each break is refused by the strict open, listed by the
// check as one problem naming its field, read by the tolerant open with the expected samples
// and annotations, and mended by the repaired copy into a file that the strict open accepts
// with the same samples. Fatal breaks are refused by all of them.
#include "child_processes.h"
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

using namespace reader_test;

namespace {

constexpr int records = 3;
constexpr int samples = 4;

// 'EEG' (4 samples per record, digital value 100 * record + i), then the annotation signal;
// record 1 also holds the annotation "Event" at 1.5 s.
file_spec base_spec() {
    file_spec f;
    f.signals = {{"EEG", samples, -32768, 32767, "-100", "100", "uV", "AgCl", "HP:0.1Hz"},
                 annotation_signal_spec(false)};
    return f;
}

std::string record_tal(int r) {
    return timekeeping(std::to_string(r)) + (r == 1 ? std::string("+1.5\x14"
                                                                  "Event\x14",
                                                                  11) +
                                                          '\0'
                                                    : "");
}

std::string file_of(const file_spec &f, int64_t count, int stored_records = records,
                    const std::function<std::string(int)> &tal = record_tal) {
    std::string bytes = header_bytes(f, count);
    const bool plus = f.signals.size() > 1;
    for (int r = 0; r < stored_records; r++) {
        for (int i = 0; i < samples; i++) {
            bytes += sample16(100 * r + i);
        }
        if (plus) {
            bytes += tal_bytes(tal(r));
        }
    }
    return bytes;
}

std::string base_file() {
    return file_of(base_spec(), records);
}

// Replaces the bytes at `offset` of a file.
std::string patched(std::string file, size_t offset, const std::string &bytes) {
    file.replace(offset, bytes.size(), bytes);
    return file;
}

// Offset of field `start` (width `width`) of signal i in a header of ns signals.
size_t signal_offset(size_t ns, int start, int width, size_t i) {
    return 256 + ns * static_cast<size_t>(start) + i * static_cast<size_t>(width);
}

struct tolerance {
    const char *name;
    std::string bytes;
    const char *field;
    std::function<void(const edf_header_info &)> expect = [](const edf_header_info &) {};
    double physical_scale = 200.0 / 65535.0; // physical value of digital d: (d + 0.5) * scale
    int annotations = 1;
};

std::vector<tolerance> tolerances() {
    const size_t ns = 2;
    std::vector<tolerance> t;
    t.push_back(
        {"unfinished count", patched(base_file(), 236, "-1      "), "number of data records"});
    t.push_back(
        {"count too large", patched(base_file(), 236, "7       "), "number of data records"});
    t.push_back({"partial record", base_file() + std::string(5, 'x'), "incomplete data record"});
    t.push_back({"unit as Latin-1", patched(base_file(), signal_offset(ns, 96, 8, 0), "\xb5V"),
                 "physical dimension", [](const edf_header_info &h) {
                     // Cut to the field's eight bytes.
                     EXPECT_STREQ(h.signals[0].physical_dimension, "\xc2\xb5V     ");
                 }});
    t.push_back({"transducer as Latin-1",
                 patched(base_file(), signal_offset(ns, 16, 80, 0), "caf\xe9"), "transducer",
                 [](const edf_header_info &h) {
                     EXPECT_EQ(std::string(h.signals[0].transducer).substr(0, 5), "caf\xc3\xa9");
                 }});
    t.push_back({"date with dashes", patched(base_file(), 168, "1-dec-03"), "start date",
                 [](const edf_header_info &h) {
                     EXPECT_EQ(h.start_day, 1);
                     EXPECT_EQ(h.start_month, 12);
                     EXPECT_EQ(h.start_year, 2003);
                 }});
    t.push_back({"impossible date", patched(base_file(), 168, "32.13.03"), "start date",
                 [](const edf_header_info &h) {
                     EXPECT_EQ(h.start_day, 1);
                     EXPECT_EQ(h.start_month, 1);
                     EXPECT_EQ(h.start_year, 1985);
                 }});
    t.push_back({"time with colons", patched(base_file(), 176, "4:05:06 "), "start time",
                 [](const edf_header_info &h) {
                     EXPECT_EQ(h.start_hour, 4);
                     EXPECT_EQ(h.start_minute, 5);
                     EXPECT_EQ(h.start_second, 6);
                 }});
    t.push_back({"free patient text", patched(base_file(), 8, "John Smith"),
                 "patient identification", [](const edf_header_info &h) {
                     EXPECT_EQ(std::string(h.patient).substr(0, 11), "John Smith ");
                     EXPECT_STREQ(h.patient_name, "");
                 }});
    t.push_back({"free recording text", patched(base_file(), 88, "Lab 3, session 2"),
                 "recording identification", [](const edf_header_info &h) {
                     EXPECT_EQ(std::string(h.recording).substr(0, 16), "Lab 3, session 2");
                 }});
    t.push_back({"reserved junk after EDF+C", patched(base_file(), 197, " v2"), "reserved",
                 [](const edf_header_info &h) { EXPECT_EQ(h.filetype, EDF_FILETYPE_EDFPLUS); }});
    {
        file_spec plain = base_spec();
        plain.signals.pop_back();
        const std::string file = file_of(plain, records);
        tolerance c{"EDF+C without annotation signal", file, "reserved",
                    [](const edf_header_info &h) { EXPECT_EQ(h.filetype, EDF_FILETYPE_EDF); }};
        c.annotations = 0;
        t.push_back(c);
        plain.reserved = "24 hours";
        tolerance j{"plain EDF reserved junk", file_of(plain, records), "reserved",
                    [](const edf_header_info &h) { EXPECT_EQ(h.filetype, EDF_FILETYPE_EDF); }};
        j.annotations = 0;
        t.push_back(j);
    }
    {
        tolerance c{"equal physical limits",
                    patched(base_file(), signal_offset(ns, 112, 8, 0), "-100    "),
                    "physical maximum", [](const edf_header_info &h) {
                        EXPECT_EQ(h.signals[0].physical_min, -32768.0);
                        EXPECT_EQ(h.signals[0].physical_max, 32767.0);
                    }};
        c.physical_scale = 0; // physical = digital
        t.push_back(c);
        tolerance d{"equal digital limits",
                    patched(base_file(), signal_offset(ns, 128, 8, 0), "-32768  "),
                    "digital maximum"};
        d.physical_scale = 0;
        t.push_back(d);
    }
    t.push_back({"decimal comma", patched(base_file(), signal_offset(ns, 112, 8, 0), "100,0   "),
                 "physical maximum",
                 [](const edf_header_info &h) { EXPECT_EQ(h.signals[0].physical_max, 100.0); }});
    t.push_back({"number with unit", patched(base_file(), signal_offset(ns, 104, 8, 0), "-100uV  "),
                 "physical minimum",
                 [](const edf_header_info &h) { EXPECT_EQ(h.signals[0].physical_min, -100.0); }});
    t.push_back({"signal reserved text", patched(base_file(), signal_offset(ns, 224, 32, 0), "x"),
                 "signal reserved"});
    {
        // A control byte in the annotation of record 1: that TAL is skipped.
        tolerance c{"broken TAL",
                    file_of(base_spec(), records, records,
                            [](int r) {
                                return r == 1 ? timekeeping("1") +
                                                    std::string("+1.5\x14"
                                                                "Ev\x01nt\x14",
                                                                11) +
                                                    '\0'
                                              : record_tal(r);
                            }),
                    "annotation"};
        c.annotations = 0;
        t.push_back(c);
    }
    {
        tolerance c{"missing time-keeping",
                    file_of(base_spec(), records, records,
                            [](int r) {
                                return r == 2 ? std::string("+2.5\x14x\x14", 7) + '\0'
                                              : record_tal(r);
                            }),
                    "time-keeping annotation"};
        c.annotations = 2; // the TAL that stood in its place is an annotation
        t.push_back(c);
        tolerance u{"unterminated annotation signal",
                    file_of(base_spec(), records, records,
                            [](int r) {
                                std::string s = record_tal(r);
                                if (r == 0) {
                                    s += "+0.5\x14";
                                    s += std::string(120 - s.size(), 'a');
                                }
                                return s;
                            }),
                    "annotation"};
        t.push_back(u);
    }
    t.push_back({"label as Latin-1", patched(base_file(), signal_offset(ns, 0, 16, 0), "EEG\xe9"),
                 "label", [](const edf_header_info &h) {
                     EXPECT_EQ(std::string(h.signals[0].label).substr(0, 5), "EEG\xc3\xa9");
                 }});
    t.push_back({"annotation signal transducer",
                 patched(base_file(), signal_offset(ns, 16, 80, 1), "x"), "transducer"});
    t.push_back({"wrong time-keeping",
                 file_of(base_spec(), records, records,
                         [](int r) { return r == 2 ? timekeeping("7") : record_tal(r); }),
                 "time-keeping annotation"});
    return t;
}

struct opened {
    int result;
    std::unique_ptr<edf_header_info> hdr = new_header();
};

std::vector<int> digital_samples(int handle, int64_t n) {
    std::vector<int> v(static_cast<size_t>(n));
    EXPECT_EQ(edfread_digital_samples(handle, 0, static_cast<int>(n), v.data()), n);
    return v;
}

} // namespace

TEST(TolerantOpen, EachRepairBothWays) {
    temp_dir dir;
    const std::string path = dir.file("broken.edf");
    const std::string copy = dir.file("repaired.edf");
    std::vector<int> expected;
    for (int r = 0; r < records; r++) {
        for (int i = 0; i < samples; i++) {
            expected.push_back(100 * r + i);
        }
    }
    for (const tolerance &c : tolerances()) {
        SCOPED_TRACE(c.name);
        write_bytes(path, c.bytes);
        auto hdr = new_header();
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), -1);
        EXPECT_EQ(hdr->filetype, EDF_ERR_FORMAT);

        edf_problem problems[4];
        ASSERT_EQ(edf_check_file(path.c_str(), problems, 4), 1);
        EXPECT_STREQ(problems[0].field, c.field);
        EXPECT_EQ(problems[0].action, EDF_PROBLEM_REPAIRED);
        EXPECT_EQ(problems[0].code, EDF_ERR_FORMAT);

        ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2), 0);
        const int handle = hdr->handle;
        EXPECT_EQ(edf_get_problem_count(handle), 1);
        edf_problem listed;
        ASSERT_EQ(edf_get_problem(handle, 0, &listed), 0);
        EXPECT_EQ(std::memcmp(&listed, &problems[0], sizeof listed), 0);
        EXPECT_EQ(hdr->datarecord_count, records);
        EXPECT_EQ(digital_samples(handle, records * samples), expected);
        double physical[records * samples];
        ASSERT_EQ(edfrewind(handle, 0), 0);
        ASSERT_EQ(edfread_physical_samples(handle, 0, records * samples, physical),
                  records * samples);
        for (int k = 0; k < records * samples; k++) {
            const double d = expected[static_cast<size_t>(k)];
            EXPECT_NEAR(physical[k], c.physical_scale == 0 ? d : (d + 0.5) * c.physical_scale,
                        1e-9);
        }
        EXPECT_EQ(hdr->annotation_count, c.annotations);
        c.expect(*hdr);
        EXPECT_EQ(edfclose_file(handle), 0);

        // The repaired copy opens strictly, with the same samples and annotations.
        std::remove(copy.c_str());
        ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, problems, 4), 1);
        EXPECT_EQ(edf_check_file(copy.c_str(), nullptr, 0), 0);
        auto repaired = new_header();
        ASSERT_EQ(edfopen_file_readonly(copy.c_str(), repaired.get(), 2), 0);
        EXPECT_EQ(digital_samples(repaired->handle, records * samples), expected);
        EXPECT_EQ(repaired->annotation_count, c.annotations);
        EXPECT_EQ(edfclose_file(repaired->handle), 0);
    }
}

TEST(TolerantOpen, ConformingFileIsOpenedAsStrictly) {
    temp_dir dir;
    const std::string path = dir.file("good.edf");
    write_bytes(path, base_file());
    auto strict = new_header();
    auto tolerant = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), strict.get(), 2), 0);
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), tolerant.get(), 2), -1);
    EXPECT_EQ(tolerant->filetype, EDF_ERR_ALREADY_OPEN);
    const int handle = strict->handle;
    EXPECT_EQ(edf_get_problem_count(handle), 0);
    EXPECT_EQ(edfclose_file(handle), 0);
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), tolerant.get(), 2), 0);
    EXPECT_EQ(edf_get_problem_count(tolerant->handle), 0);
    EXPECT_EQ(edfclose_file(tolerant->handle), 0);
    EXPECT_EQ(std::memcmp(strict.get(), tolerant.get(), sizeof *strict), 0);
    EXPECT_EQ(edf_check_file(path.c_str(), nullptr, 0), 0);

    // The copy of a conforming file is the file; the copy is refused over an existing file
    // (unless asked) and over the file itself, also through a link.
    const std::string copy = dir.file("copy.edf");
    EXPECT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), 0);
    EXPECT_EQ(read_bytes(copy), base_file());
    EXPECT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), EDF_ERR_OUTPUT_EXISTS);
    EXPECT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 1, nullptr, 0), 0);
    EXPECT_EQ(edf_repair_file(path.c_str(), path.c_str(), 1, nullptr, 0), EDF_ERR_ALREADY_OPEN);
    const std::string link = dir.file("link.edf");
    std::filesystem::create_hard_link(path, link);
    EXPECT_EQ(edf_repair_file(path.c_str(), link.c_str(), 1, nullptr, 0), EDF_ERR_ALREADY_OPEN);
    EXPECT_EQ(read_bytes(path), base_file());
    EXPECT_EQ(edf_check_file(utf8_path(dir.path()).c_str(), nullptr, 0), EDF_ERR_CANNOT_OPEN);
    EXPECT_EQ(edf_check_file(path.c_str(), nullptr, 1), -1);
}

TEST(TolerantOpen, FatalProblemsAreRefusedByAll) {
    temp_dir dir;
    const std::string path = dir.file("fatal.edf");
    file_spec discontinuous = base_spec();
    discontinuous.reserved = "EDF+D";
    struct fatal_case {
        const char *name;
        std::string bytes;
        const char *field;
        int code;
    };
    const size_t ns = 2;
    for (const fatal_case &c : {
             fatal_case{"version", patched(base_file(), 0, "1"), "version", EDF_ERR_FORMAT},
             fatal_case{"signal count", patched(base_file(), 252, "0   "), "number of signals",
                        EDF_ERR_FORMAT},
             fatal_case{"no samples", patched(base_file(), signal_offset(ns, 216, 8, 0), "0 "),
                        "number of samples", EDF_ERR_FORMAT},
             fatal_case{"no complete record", base_file().substr(0, 3 * 256 + 10), "data records",
                        EDF_ERR_FORMAT},
             fatal_case{"short header", base_file().substr(0, 600), "header", EDF_ERR_READ},
         }) {
        SCOPED_TRACE(c.name);
        write_bytes(path, c.bytes);
        edf_problem problems[4];
        const int count = edf_check_file(path.c_str(), problems, 4);
        ASSERT_GE(count, 1);
        const edf_problem &last = problems[count - 1];
        EXPECT_STREQ(last.field, c.field);
        EXPECT_EQ(last.action, EDF_PROBLEM_FATAL);
        EXPECT_EQ(last.code, c.code);
        auto hdr = new_header();
        EXPECT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2), -1);
        EXPECT_EQ(hdr->filetype, c.code);
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), -1);
        EXPECT_EQ(hdr->filetype, problems[0].code);
        EXPECT_EQ(edf_repair_file(path.c_str(), dir.file("out.edf").c_str(), 0, nullptr, 0),
                  c.code);
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.edf")));
    }

    // A discontinuous file conforms: it is listed as such (the strict open refuses it), read
    // tolerantly with its own time axis, and its repaired copy is the file.
    write_bytes(path, file_of(discontinuous, records));
    edf_problem problem;
    ASSERT_EQ(edf_check_file(path.c_str(), &problem, 1), 1);
    EXPECT_STREQ(problem.field, "reserved");
    EXPECT_EQ(problem.code, EDF_ERR_DISCONTINUOUS);
    EXPECT_EQ(problem.action, EDF_PROBLEM_CONFORMS);
    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2), 0);
    EXPECT_EQ(edf_get_problem_count(hdr->handle), 1);
    edfclose_file(hdr->handle);
    EXPECT_EQ(edf_repair_file(path.c_str(), dir.file("out.edf").c_str(), 0, nullptr, 0), 1);
    EXPECT_EQ(read_bytes(dir.file("out.edf")), read_bytes(path));
}

TEST(TolerantOpen, SeveralProblemsAreListedInFileOrder) {
    temp_dir dir;
    const std::string path = dir.file("three.edf");
    std::string bytes = patched(base_file(), 168, "1/2/03  ");
    bytes = patched(bytes, 236, "-1      ");
    bytes = patched(bytes, signal_offset(2, 96, 8, 0), "\xb5V");
    write_bytes(path, bytes + "xy");
    edf_problem problems[8];
    ASSERT_EQ(edf_check_file(path.c_str(), problems, 2), 4); // the count beyond capacity
    ASSERT_EQ(edf_check_file(path.c_str(), problems, 8), 4);
    const char *fields[] = {"start date", "number of data records", "physical dimension",
                            "incomplete data record"};
    const int64_t offsets[] = {168, 236, 256 + 2 * 96, 768 + 3 * 128};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(problems[i].field, fields[i]);
        EXPECT_EQ(problems[i].offset, offsets[i]);
    }
    EXPECT_STREQ(problems[0].found, "1/2/03  ");
    EXPECT_STREQ(problems[2].found, "\\xB5V      ");
    EXPECT_EQ(problems[2].signal, 0);
    EXPECT_EQ(problems[3].record, 3);
}

// biosig's EDF export writes "EDF+C" without an annotation signal.
TEST(TolerantOpen, BiosigExportOpens) {
#ifdef _WIN32
    GTEST_SKIP() << "save2gdf (biosig-tools) is a program of the build machine";
#endif
    if (std::system("command -v save2gdf > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "save2gdf (biosig-tools) is not installed";
    }
    temp_dir dir;
    const std::string source = dir.file("ours.edf");
    const std::string exported = dir.file("biosig.edf");
    const int h = edfopen_file_writeonly(source.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(h, 0);
    edf_set_samplefrequency(h, 0, 10);
    edf_set_physical_maximum(h, 0, 100);
    edf_set_physical_minimum(h, 0, -100);
    edf_set_digital_maximum(h, 0, 32767);
    edf_set_digital_minimum(h, 0, -32768);
    edf_set_label(h, 0, "EEG");
    std::vector<double> values(10);
    for (int r = 0; r < 3; r++) {
        for (int i = 0; i < 10; i++) {
            values[static_cast<size_t>(i)] = r * 10 + i;
        }
        ASSERT_EQ(edfwrite_physical_samples(h, values.data()), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);
    const std::string command =
        "save2gdf -f=EDF '" + source + "' '" + exported + "' > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);

    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(exported.c_str(), hdr.get(), 2), -1);
    ASSERT_EQ(edfopen_file_readonly_tolerant(exported.c_str(), hdr.get(), 2), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDF);
    ASSERT_EQ(edf_get_problem_count(hdr->handle), 1);
    edf_problem p;
    ASSERT_EQ(edf_get_problem(hdr->handle, 0, &p), 0);
    EXPECT_STREQ(p.field, "reserved");
    ASSERT_EQ(hdr->ordinary_signal_count, 1);
    double read[30];
    ASSERT_EQ(edfread_physical_samples(hdr->handle, 0, 30, read), 30);
    for (int k = 0; k < 30; k++) {
        EXPECT_NEAR(read[k], k, 0.01);
    }
    EXPECT_EQ(edfclose_file(hdr->handle), 0);
}

// A recording whose writer dies: the child writes records and ends without closing, as a
// killed program does (buffered bytes never reach the file). The header keeps "-1" and the
// file may end inside a record; the tolerant open reads the complete records, and the
// repaired copy holds exactly them.
namespace {

constexpr int killed_per_record = 999; // an odd record size, so that buffers end inside a record

[[noreturn]] void write_and_die(const std::string &path) {
    constexpr int per_record = killed_per_record;
    {
        const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
        edf_set_samplefrequency(h, 0, per_record);
        edf_set_physical_maximum(h, 0, 32767);
        edf_set_physical_minimum(h, 0, -32768);
        edf_set_digital_maximum(h, 0, 32767);
        edf_set_digital_minimum(h, 0, -32768);
        std::vector<int> values(per_record);
        for (int r = 0; r < 700; r++) {
            for (int i = 0; i < per_record; i++) {
                values[static_cast<size_t>(i)] = (r * 7 + i) % 30000;
            }
            edfwrite_digital_samples(h, values.data());
        }
        _exit(0);
    }
}

#ifdef _WIN32
const bool dying_writer_role = child_processes::child_role(
    "dying-writer", [](const std::vector<std::string> &a) -> int { write_and_die(a.at(0)); });
#endif

} // namespace

TEST(TolerantOpen, RecordingOfAKilledWriter) {
    temp_dir dir;
    const std::string path = dir.file("killed.edf");
    constexpr int per_record = killed_per_record;
#ifdef _WIN32
    child_processes::child_program child;
    ASSERT_TRUE(child_processes::start_child_role(child, "dying-writer", {path}));
    ASSERT_EQ(child.wait(), 0);
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        write_and_die(path);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
#endif
    const std::string bytes = read_bytes(path);
    const int64_t header = 3 * 256; // the signal and the annotation signal
    const int64_t record_size = per_record * 2 + 120;
    ASSERT_GT(static_cast<int64_t>(bytes.size()), header + record_size);
    const int64_t complete = (static_cast<int64_t>(bytes.size()) - header) / record_size;
    EXPECT_EQ(bytes.substr(236, 8), "-1      ");

    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), 2), -1);
    ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), 2), 0);
    EXPECT_EQ(hdr->datarecord_count, complete);
    const int count = edf_get_problem_count(hdr->handle);
    const bool partial = (bytes.size() - header) % record_size != 0;
    EXPECT_EQ(count, partial ? 2 : 1);
    edf_problem p;
    ASSERT_EQ(edf_get_problem(hdr->handle, 0, &p), 0);
    EXPECT_STREQ(p.field, "number of data records");
    if (partial) {
        ASSERT_EQ(edf_get_problem(hdr->handle, 1, &p), 0);
        EXPECT_STREQ(p.field, "incomplete data record");
        EXPECT_EQ(p.record, complete);
    }
    std::vector<int> last(per_record);
    ASSERT_EQ(edfseek(hdr->handle, 0, (complete - 1) * per_record, EDFSEEK_SET),
              (complete - 1) * per_record);
    ASSERT_EQ(edfread_digital_samples(hdr->handle, 0, per_record, last.data()), per_record);
    EXPECT_EQ(last[5], static_cast<int>(((complete - 1) * 7 + 5) % 30000));
    EXPECT_EQ(edfclose_file(hdr->handle), 0);

    const std::string copy = dir.file("copy.edf");
    ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), count);
    const std::string repaired = read_bytes(copy);
    EXPECT_EQ(static_cast<int64_t>(repaired.size()), header + complete * record_size);
    EXPECT_EQ(repaired.substr(header), bytes.substr(header, repaired.size() - header));
    EXPECT_EQ(edf_check_file(copy.c_str(), nullptr, 0), 0);
}
