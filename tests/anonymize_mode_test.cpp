// edfinfo --anonymize, run as a program: several files into a directory with a key file, a
// failing file among them, masked and shown values, in place, and bad usage.
#include "child_processes.h"
#include "reader_test_files.h"
#include "test_files.h"

#include "recording/edf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#ifdef EDFINFO_PATH

namespace {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

// edfinfo --anonymize with `arguments` (words separated by spaces), run in `dir`.
run_result anonymize(const temp_dir &dir, const std::string &arguments) {
    std::vector<std::string> words = {"--anonymize"};
    std::istringstream split(arguments);
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    const child_processes::program_result r =
        child_processes::run_program(EDFINFO_PATH, words, utf8_path(dir.path()));
    return {r.status, r.out, r.err};
}

// An EDF+ file of one short signal, for the patient `code`, started on 2020-03-01.
void write_patient_file(const std::string &path, const char *code) {
    const int h = open_configured(path, 1, 10);
    ASSERT_GE(h, 0);
    edf_set_patientcode(h, code);
    edf_set_patientname(h, "Jane Doe");
    edf_set_startdatetime(h, 2020, 3, 1, 8, 0, 0);
    int values[10] = {};
    edfwrite_digital_samples(h, values);
    edfwrite_annotation_utf8_us(h, 0, -1, "note by Ingrid");
    ASSERT_EQ(edfclose_file(h), 0);
}

TEST(AnonymizeMode, CopiesSeveralFilesReportsAndWritesTheKeyFile) {
    temp_dir dir;
    write_patient_file(dir.file("a.edf"), "MCH-1");
    write_patient_file(dir.file("b.edf"), "MCH-1");
    write_patient_file(dir.file("c.edf"), "MCH-2");
    reader_test::write_bytes(dir.file("bad.edf"), "not an EDF file");

    const run_result r =
        anonymize(dir, "--output out --map key.csv --pseudonym S a.edf bad.edf b.edf c.edf");
    EXPECT_EQ(r.status, 1); // bad.edf failed, the others were done
    EXPECT_NE(r.err.find("'bad.edf' not de-identified"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("a.edf → out/a.edf"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Patient code:         *** → X"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Jane"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("MCH"), std::string::npos) << r.out;
    EXPECT_EQ(file_bytes(dir.file("key.csv")), "file,original_start,shift_days,pseudonym\n"
                                               "out/a.edf,2020-03-01T08:00:00.0000000,-12843,S1\n"
                                               "out/b.edf,2020-03-01T08:00:00.0000000,-12843,S1\n"
                                               "out/c.edf,2020-03-01T08:00:00.0000000,-12843,S2\n");
    for (const char *name : {"a.edf", "b.edf", "c.edf"}) {
        EXPECT_EQ(file_bytes(dir.file(std::string("out/") + name)).find("MCH"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/bad.edf")));

    // --show prints the old values; texts dropped are counted.
    const run_result shown =
        anonymize(dir, "--show --drop-annotation-texts --output one.edf a.edf");
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("Patient name:         Jane Doe → X"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Annotation texts:     1 replaced by X"), std::string::npos);

    // In place: texts cannot be dropped there, the header is rewritten.
    EXPECT_EQ(anonymize(dir, "--in-place --drop-annotation-texts a.edf").status, 1);
    const run_result in_place = anonymize(dir, "--in-place --keep-start-time a.edf");
    EXPECT_EQ(in_place.status, 0) << in_place.err;
    EXPECT_NE(in_place.out.find("a.edf (in place)"), std::string::npos);
    EXPECT_EQ(file_bytes(dir.file("a.edf")).substr(168, 16), "01.01.8508.00.00");

    EXPECT_EQ(anonymize(dir, "a.edf").status, 2);
    EXPECT_EQ(anonymize(dir, "--in-place --output x.edf a.edf").status, 2);
    EXPECT_EQ(anonymize(dir, "--in-place --pseudonym S a.edf").status, 2);
}

// The key file is made before any file is changed, never over an earlier one, readable by its
// owner only, and holds a line for every file changed: each line is written and synced before
// its file changes, so a key that cannot be written stops the run with the rest untouched.
TEST(AnonymizeMode, KeyFileIsWrittenFirstAndNeverReplaced) {
    const std::vector<std::string> names = {"p1.edf", "p2.edf", "p3.edf", "p4.edf",
                                            "p5.edf", "p6.edf", "p7.edf"};
    const auto line = [](const std::string &name, const std::string &pseudonym) {
        return name + ",2020-03-01T08:00:00.0000000,-12843," + pseudonym + "\n";
    };
    const std::string heading = "file,original_start,shift_days,pseudonym\n";
    std::string all_lines = heading;
    for (const std::string &name : names) {
        all_lines += line(name, "");
    }
    const struct {
        const char *name;
        std::string key;       // the --map argument
        std::string earlier;   // an earlier key file's bytes, "" for none
        long long size_limit;  // bytes that a file may reach, -1 for no limit
        bool third_broken;     // p3.edf is not an EDF file
        bool pseudonyms;       // --pseudonym S
        int status;            // edfinfo's exit status
        std::string key_after; // the key file's bytes afterwards ("" for no file)
        size_t changed;        // the first `changed` files are de-identified
    } cases[] = {
        {"a new key", "key.csv", "", -1, false, false, 0, all_lines, 7},
        {"an earlier key", "key.csv", "earlier key\n", -1, false, false, 1, "earlier key\n", 0},
        {"a folder that does not exist", "missing/key.csv", "", -1, false, false, 1, "", 0},
        // Room for the heading and five lines (256 bytes, enough for the 256-byte header
        // writes in place), part of the sixth: the part is taken back.
        {"a key that fills the disk", "key.csv", "", 256 + 14, false, false, 1,
         all_lines.substr(0, 256), 5},
        {"a file that fails", "key.csv", "", -1, true, true, 1,
         heading + line("p1.edf", "S1") + line("p2.edf", "S2") + line("p4.edf", "S3") +
             line("p5.edf", "S4") + line("p6.edf", "S5") + line("p7.edf", "S6"),
         7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
#ifdef _WIN32
        if (c.size_limit >= 0) {
            continue; // a file size limit (setrlimit) makes the writes fail
        }
#endif
        temp_dir dir;
        std::vector<std::string> before;
        for (size_t n = 0; n < names.size(); n++) {
            write_patient_file(dir.file(names[n]), ("MCH-" + std::to_string(n)).c_str());
            if (c.third_broken && n == 2) {
                reader_test::write_bytes(dir.file(names[n]), "not an EDF file");
            }
            before.push_back(file_bytes(dir.file(names[n])));
        }
        const std::string key = dir.file(c.key);
        if (!c.earlier.empty()) {
            reader_test::write_bytes(key, c.earlier);
#ifndef _WIN32
            chmod(key.c_str(), 0644);
#endif
        }
        std::vector<std::string> arguments = {"--anonymize", "--in-place", "--keep-start-time",
                                              "--map", c.key};
        if (c.pseudonyms) {
            arguments.insert(arguments.end(), {"--pseudonym", "S"});
        }
        arguments.insert(arguments.end(), names.begin(), names.end());
#ifdef _WIN32
        const child_processes::program_result r =
            child_processes::run_program(EDFINFO_PATH, arguments, utf8_path(dir.path()));
#else
        const long long limit = c.size_limit;
        const child_processes::program_result r =
            child_processes::run_program(EDFINFO_PATH, arguments, dir.path().string(), [limit] {
                umask(0); // the key is private all the same
                if (limit >= 0) {
                    child_processes::limit_file_size(limit);
                }
            });
#endif
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.key_after.empty()) {
            EXPECT_FALSE(std::filesystem::exists(key));
        } else {
            EXPECT_EQ(file_bytes(key), c.key_after);
#ifndef _WIN32 // (permission bits)
            struct stat status;
            ASSERT_EQ(stat(key.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, c.earlier.empty() ? 0600u : 0644u);
#endif
        }
        for (size_t n = 0; n < names.size(); n++) {
            const std::string bytes = file_bytes(dir.file(names[n]));
            if (c.third_broken && n == 2) {
                EXPECT_EQ(bytes, before[n]);
            } else if (n < c.changed) {
                EXPECT_EQ(bytes.substr(168, 8), "01.01.85") << names[n];
            } else {
                EXPECT_TRUE(bytes == before[n]) << names[n] << " changed";
            }
        }
    }
}

} // namespace

#endif
