// Discontinuous files through programs: edfinfo's reports and true sample times, the
// continuous copy (gaps filled with physical 0 and marked "gap") read back by the strict
// reader, and two independent readers, biosig (which reads EDF+D: every record's true start
// comes out as a segment event) and MNE-Python (which joins EDF+D records as if continuous,
// so it is given the continuous copy).
#include "child_processes.h"
#include "discontinuous_files.h"
#include "reader_test_files.h"
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

#ifdef EDFINFO_PATH

using namespace discontinuous;

namespace {

// Runs a shell command in `dir` and returns its standard output, or "" on a failing status.
// (On Windows a program and its arguments, separated by spaces, without a shell.)
std::string run(const temp_dir &dir, const std::string &command) {
#ifdef _WIN32
    std::istringstream split(command);
    std::string program;
    split >> program;
    std::vector<std::string> arguments;
    for (std::string word; split >> word;) {
        arguments.push_back(word);
    }
    const child_processes::program_result r =
        child_processes::run_program(program, arguments, utf8_path(dir.path()));
    std::ofstream(dir.file("err.txt"), std::ios::binary) << r.err;
    return r.status == 0 ? r.out : std::string();
#else
    const std::string out = dir.file("out.txt");
    const std::string line = "cd '" + dir.path().string() + "' && " + command + " > '" + out +
                             "' 2> '" + dir.file("err.txt") + "'";
    return std::system(line.c_str()) == 0 ? file_bytes(out) : std::string();
#endif
}

double seconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

std::vector<int> digital_samples(int handle, int64_t count) {
    std::vector<int> v(static_cast<size_t>(count));
    return edfread_digital_samples(handle, 0, static_cast<int>(count), v.data()) == count
               ? v
               : std::vector<int>{};
}

TEST(DiscontinuousPrograms, ReportsSamplesAndContinuousCopy) {
    close_all_handles guard;
    const std::string edfinfo = EDFINFO_PATH;
    for (const layout &l : layouts()) {
        SCOPED_TRACE(l.name);
        temp_dir dir;
        const std::vector<int64_t> starts = record_starts_us(l);
        ASSERT_EQ(write_file(dir.file("d.edf"), l, starts.back()), 0);

        // JSON: segments and gaps.
        const nlohmann::json doc = nlohmann::json::parse(run(dir, edfinfo + " --json d.edf"));
        size_t segments = 0;
        for (size_t k = 0; k < starts.size(); k++) {
            if (k == 0 || starts[k] != starts[k - 1] + l.record_us) {
                EXPECT_EQ(doc["segments"][segments]["start"].get<double>(), seconds(starts[k]));
                EXPECT_EQ(doc["segments"][segments]["first_record"].get<double>(), k);
                if (segments > 0) {
                    EXPECT_EQ(doc["gaps"][segments - 1]["start"].get<double>(),
                              seconds(starts[k - 1] + l.record_us));
                }
                segments++;
            }
        }
        EXPECT_EQ(doc["segments"].size(), segments);
        EXPECT_EQ(doc["gaps"].size(), segments - 1);

        // --samples: each sample at its record's true start plus its place.
        std::istringstream csv(run(dir, edfinfo + " --samples 0 d.edf"));
        std::string line;
        std::getline(csv, line);
        for (size_t k = 0; k < starts.size(); k++) {
            for (int i = 0; i < l.samples_per_record; i++) {
                ASSERT_TRUE(std::getline(csv, line));
                const double t = std::stod(line.substr(0, line.find(',')));
                EXPECT_NEAR(t, seconds(starts[k]) + seconds(l.record_us) * i / l.samples_per_record,
                            1e-9);
            }
        }

        // --plot: one polyline per segment, one grey band per gap.
        ASSERT_EQ(run(dir, edfinfo + " --plot 0 --svg p.svg d.edf"), "");
        const std::string svg = file_bytes(dir.file("p.svg"));
        const auto count = [&](const std::string &what) {
            size_t n = 0;
            for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) {
                n++;
            }
            return n;
        };
        EXPECT_EQ(count("<polyline class=\"trace\""), segments);
        EXPECT_EQ(count("<rect class=\"gap\""), segments - 1);

        // --continuous: the strict reader sees every sample at its true time, zeros in the gaps,
        // and one "gap" annotation per gap with the gap's duration.
        ASSERT_EQ(run(dir, edfinfo + " --continuous c.edf d.edf"), "")
            << file_bytes(dir.file("err.txt"));
        auto h = std::make_unique<edf_header_info>();
        ASSERT_EQ(
            edfopen_file_readonly(dir.file("c.edf").c_str(), h.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        EXPECT_EQ(file_bytes(dir.file("c.edf")).substr(192, 5), l.bdf ? "BDF+C" : "EDF+C");
        EXPECT_EQ(h->file_duration, (starts.back() + l.record_us) * 10);
        const double period_us = static_cast<double>(l.record_us) / l.samples_per_record;
        const int64_t total = h->signals[0].samples_in_file;
        ASSERT_EQ(total, std::llround(seconds(starts.back() + l.record_us) * 1e6 / period_us));
        const std::vector<int> got = digital_samples(h->handle, total);
        ASSERT_EQ(got.size(), static_cast<size_t>(total));
        std::vector<bool> stored(got.size(), false);
        for (size_t k = 0; k < starts.size(); k++) {
            const int64_t first = std::llround(static_cast<double>(starts[k]) / period_us);
            for (int i = 0; i < l.samples_per_record; i++) {
                EXPECT_EQ(got[static_cast<size_t>(first + i)],
                          sample_value(static_cast<int64_t>(k), i));
                stored[static_cast<size_t>(first + i)] = true;
            }
        }
        for (size_t j = 0; j < got.size(); j++) {
            if (!stored[j]) {
                EXPECT_LE(std::abs(got[j]), 1) << j; // physical 0 within half a step
            }
        }
        int gaps = 0;
        for (int n = 0; n < h->annotation_count; n++) {
            edf_annotation a{};
            ASSERT_EQ(edf_get_annotation(h->handle, n, &a), 0);
            if (std::string(a.annotation) == "gap") {
                gaps++;
                EXPECT_EQ(a.onset + a.duration,
                          10 * starts[static_cast<size_t>(
                                   std::find_if(starts.begin() + 1, starts.end(),
                                                [&](int64_t s) { return s * 10 > a.onset; }) -
                                   starts.begin())]);
            } else {
                EXPECT_EQ(std::string(a.annotation), "mark");
                EXPECT_EQ(a.onset, starts.back() * 10);
            }
        }
        EXPECT_EQ(gaps, static_cast<int>(segments) - 1);
        edfclose_file(h->handle);
    }
}

// A record of unknown time (its time-keeping annotation unreadable) lies on no time axis:
// --samples and --plot leave its samples out, and --continuous leaves the record out, filling
// and marking the time that the segments around it leave as a gap.
TEST(DiscontinuousPrograms, RecordsOfUnknownTimeAreLeftOut) {
    close_all_handles guard;
    const std::string edfinfo = EDFINFO_PATH;
    struct unknown_case {
        const char *name;
        std::vector<int64_t> starts_us;
        int64_t broken;
        std::vector<int64_t> kept;    // the records that --samples and --continuous give
        std::vector<int64_t> kept_us; // their starts
        std::vector<int64_t> gaps_us; // the gaps of the continuous copy: start, duration
        int64_t copy_records;
        bool moved = false; // the record after the broken one starts at 1 s
    };
    const unknown_case cases[] = {
        {"in a gap",
         {0, follows, 5000000, follows, 10000000, follows},
         3,
         {0, 1, 2, 4, 5},
         {0, 1000000, 5000000, 10000000, 11000000},
         {2000000, 3000000, 6000000, 4000000},
         12},
        {"a gap of one record",
         {0, follows, follows},
         1,
         {0, 2},
         {0, 2000000},
         {1000000, 1000000},
         3},
        {"segments that meet", {0, follows, follows}, 1, {0, 2}, {0, 1000000}, {}, 2, true},
    };
    for (const unknown_case &c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        const layout l{c.name, false, 1000000, 10, c.starts_us};
        ASSERT_EQ(write_file(dir.file("d.edf"), l, 0), 0);
        const int64_t tal = 768 + c.broken * 140 + 20;
        const std::string bytes = file_bytes(dir.file("d.edf"));
        reader_test::patch_bytes(dir.file("d.edf"),
                                 static_cast<int64_t>(bytes.find('\x14', tal)) - 1, "O");
        if (c.moved) {
            reader_test::patch_bytes(dir.file("d.edf"), tal + 140, "+1");
        }

        // --samples: the kept records only, each sample at its true time.
        std::istringstream csv(run(dir, edfinfo + " --samples 0 d.edf"));
        std::string line;
        std::getline(csv, line);
        for (size_t k = 0; k < c.kept.size(); k++) {
            for (int i = 0; i < 10; i++) {
                ASSERT_TRUE(std::getline(csv, line));
                const double t = std::stod(line.substr(0, line.find(',')));
                EXPECT_NEAR(t, seconds(c.kept_us[k]) + 0.1 * i, 1e-9);
            }
        }
        EXPECT_FALSE(std::getline(csv, line)) << line;
        ASSERT_EQ(run(dir, edfinfo + " --plot 0 --svg p.svg d.edf"), "");

        // --continuous: zeros where no kept record lies, one "gap" mark per gap.
        ASSERT_EQ(run(dir, edfinfo + " --continuous c.edf d.edf"), "")
            << file_bytes(dir.file("err.txt"));
        auto h = std::make_unique<edf_header_info>();
        ASSERT_EQ(
            edfopen_file_readonly(dir.file("c.edf").c_str(), h.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        ASSERT_EQ(h->datarecord_count, c.copy_records);
        const std::vector<int> got = digital_samples(h->handle, c.copy_records * 10);
        ASSERT_EQ(got.size(), static_cast<size_t>(c.copy_records * 10));
        std::vector<int> expected(got.size(), 0);
        for (size_t k = 0; k < c.kept.size(); k++) {
            for (int i = 0; i < 10; i++) {
                expected[static_cast<size_t>(c.kept_us[k] / 100000 + i)] =
                    sample_value(c.kept[k], i);
            }
        }
        for (size_t j = 0; j < got.size(); j++) {
            EXPECT_LE(std::abs(got[j] - expected[j]), expected[j] == 0 ? 1 : 0) << j;
        }
        std::vector<int64_t> gaps;
        for (int n = 0; n < h->annotation_count; n++) {
            edf_annotation a{};
            ASSERT_EQ(edf_get_annotation(h->handle, n, &a), 0);
            if (std::string(a.annotation) == "gap") {
                gaps.push_back(a.onset / 10);
                gaps.push_back(a.duration / 10);
            }
        }
        EXPECT_EQ(gaps, c.gaps_us);
        edfclose_file(h->handle);
    }
}

// The time stamps of biosig's segment events ("TYP" 0x7ffe) in save2gdf's JSON output, in
// file order. Only these two fields of the "EVENT" list are read, each from its own line: the
// rest of the output is not parsed, since some of its strings are copied from memory that
// biosig never set (bytes that are not UTF-8, unescaped line breaks) and would break a JSON
// parser on some machines.
std::vector<std::string> segment_time_stamps(const std::string &out) {
    std::vector<std::string> stamps;
    const size_t events = out.find("\"EVENT\"");
    if (events == std::string::npos) {
        return stamps;
    }
    // The value of a "key" : "value" pair on one line, or "" when the line is not one.
    const auto value_of = [](const std::string &line, const std::string &key) -> std::string {
        const size_t at = line.find("\"" + key + "\"");
        const size_t colon = at == std::string::npos ? at : line.find(':', at);
        const size_t open = colon == std::string::npos ? colon : line.find('"', colon);
        const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
    };
    std::istringstream lines(out.substr(events));
    bool segment = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string type = value_of(line, "TYP");
        if (!type.empty()) {
            segment = type == "0x7ffe";
            continue;
        }
        const std::string stamp = value_of(line, "TimeStamp");
        if (segment && !stamp.empty()) {
            stamps.push_back(stamp);
            segment = false;
        }
    }
    return stamps;
}

// biosig reads EDF+D: each record comes out as a segment event whose time stamp is the
// record's true start.
TEST(DiscontinuousPrograms, BiosigSeesTheRecordStarts) {
#ifdef _WIN32
    GTEST_SKIP() << "save2gdf (biosig-tools) is a program of the build machine";
#endif
    if (std::system("command -v save2gdf > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "save2gdf is not installed";
    }
    for (const layout &l : layouts()) {
        SCOPED_TRACE(l.name);
        temp_dir dir;
        const std::vector<int64_t> starts = record_starts_us(l);
        ASSERT_EQ(write_file(dir.file("d.edf"), l), 0);
        std::vector<double> stamps;
        for (const std::string &stamp : segment_time_stamps(run(dir, "save2gdf -JSON d.edf"))) {
            // "YYYY-MM-DD hh:mm:ss.ffffff": the seconds of the minute.
            ASSERT_GT(stamp.size(), 17u) << stamp;
            stamps.push_back(std::stod(stamp.substr(17)));
        }
        ASSERT_EQ(stamps.size(), starts.size());
        for (size_t k = 0; k < starts.size(); k++) {
            const double expected = std::fmod(stamps[0] + seconds(starts[k]), 60.0);
            EXPECT_NEAR(std::fmod(stamps[k] - expected + 90.0, 60.0) - 30.0, 0.0, 1e-3) << k;
        }
    }
}

// MNE-Python reads the continuous copy with true times: the samples and the "gap" marks sit
// where the discontinuous file puts them.
TEST(DiscontinuousPrograms, MneReadsTheContinuousCopy) {
#ifdef _WIN32
    GTEST_SKIP() << "MNE-Python is a program of the build machine";
#endif
    if (std::system("/usr/bin/python3 -c 'import mne' > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "MNE-Python is not installed";
    }
    const std::string edfinfo = EDFINFO_PATH;
    const layout l = layouts()[1]; // one gap
    temp_dir dir;
    const std::vector<int64_t> starts = record_starts_us(l);
    ASSERT_EQ(write_file(dir.file("d.edf"), l, starts.back()), 0);
    ASSERT_EQ(run(dir, edfinfo + " --continuous c.edf d.edf"), "");
    const std::string script =
        "import json, mne\n"
        "r = mne.io.read_raw_edf('c.edf', preload=True, verbose='error')\n"
        "print(json.dumps({'times': list(r.times), 'data': list(r.get_data()[0]),\n"
        "  'annotations': [[a['onset'], a['duration'], a['description']] for a in "
        "r.annotations]}))\n";
    std::ofstream(dir.file("read.py")) << script;
    const std::string out = run(dir, "/usr/bin/python3 read.py");
    ASSERT_FALSE(out.empty()) << file_bytes(dir.file("err.txt"));
    const nlohmann::json doc = nlohmann::json::parse(out);
    const double step = 2000.0 / 65535.0; // physical units per digital step (no dimension)
    for (size_t k = 0; k < starts.size(); k++) {
        for (int i = 0; i < l.samples_per_record; i++) {
            const size_t j =
                static_cast<size_t>(starts[k] / (l.record_us / l.samples_per_record) + i);
            EXPECT_NEAR(doc["times"][j].get<double>(),
                        seconds(starts[k]) + seconds(l.record_us) * i / l.samples_per_record, 1e-9);
            EXPECT_NEAR(doc["data"][j].get<double>(),
                        (sample_value(static_cast<int64_t>(k), i) + 0.5) * step, step * 0.01);
        }
    }
    bool gap_seen = false;
    for (const nlohmann::json &a : doc["annotations"]) {
        if (a[2].get<std::string>() == "gap") {
            gap_seen = true;
            EXPECT_NEAR(a[0].get<double>(), 2.0, 1e-9);
            EXPECT_NEAR(a[1].get<double>(), 3.0, 1e-9);
        }
    }
    EXPECT_TRUE(gap_seen);
}

} // namespace

#endif
