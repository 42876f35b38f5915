// edfinfo --anonymize, run as a program: several files into a directory with a key file, a
// failing file among them, masked and shown values, in place, and bad usage.
#include "reader_test_files.h"
#include "test_files.h"

#include "recording/edf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#ifdef EDFINFO_PATH

namespace {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

run_result anonymize(const temp_dir &dir, const std::string &arguments) {
    const std::string command = "cd '" + dir.path().string() +
                                "' && '" EDFINFO_PATH "' --anonymize " + arguments +
                                " >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = file_bytes(dir.file("stdout.txt"));
    result.err = file_bytes(dir.file("stderr.txt"));
    return result;
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

} // namespace

#endif
