// A discontinuous file (EDF+D, BDF+D) is a valid form of EDF+: the check lists it as
// conforming (EDF_PROBLEM_CONFORMS, code EDF_ERR_DISCONTINUOUS), beside whatever else the file
// breaks. The strict open still refuses it, with the code of the first problem that has one,
// the tolerant open lists the same problems, and the repaired copy keeps the file
// discontinuous: its check finds nothing else.
#include "discontinuous_files.h"
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace discontinuous;

namespace {

struct kind_case {
    const char *name;
    bool bdf;
    std::function<void(const std::string &)> spoil; // another problem, or none
    std::vector<int> actions;                       // of the problems listed, in order
    std::vector<int> codes;
    int strict_code;
};

// Record 1's annotation signal: EDF+D, one signal of 10 samples, records of 1 s.
int64_t annotation_offset(bool bdf, int64_t record) {
    const int64_t bytes = bdf ? 3 : 2;
    return 768 + record * (10 * bytes + 120) + 10 * bytes;
}

std::vector<kind_case> cases() {
    const int conforms = EDF_PROBLEM_CONFORMS;
    const int repaired = EDF_PROBLEM_REPAIRED;
    const auto none = [](const std::string &) {};
    return {
        {"EDF+D", false, none, {conforms}, {EDF_ERR_DISCONTINUOUS}, EDF_ERR_DISCONTINUOUS},
        {"BDF+D", true, none, {conforms}, {EDF_ERR_DISCONTINUOUS}, EDF_ERR_DISCONTINUOUS},
        {"a unit in Latin-1",
         false,
         [](const std::string &p) { reader_test::patch_bytes(p, 256 + 2 * 96, "\xb5V"); },
         {repaired, conforms},
         {EDF_ERR_FORMAT, EDF_ERR_DISCONTINUOUS},
         EDF_ERR_FORMAT},
        {"never finished",
         false,
         [](const std::string &p) { reader_test::patch_bytes(p, 236, "-1      "); },
         {repaired, conforms},
         {EDF_ERR_FORMAT, EDF_ERR_DISCONTINUOUS},
         EDF_ERR_FORMAT},
        {"a broken TAL",
         false,
         [](const std::string &p) {
             reader_test::patch_bytes(p, annotation_offset(false, 1) + 5, "+x\x14\x14");
         },
         {conforms, repaired},
         {EDF_ERR_DISCONTINUOUS, EDF_ERR_FORMAT},
         EDF_ERR_DISCONTINUOUS},
        // The strict open accepts such a text as it stands: the problem has no code.
        {"an annotation text in Latin-1",
         false,
         [](const std::string &p) {
             reader_test::patch_bytes(p, annotation_offset(false, 1) + 5,
                                      std::string("+1.5\x14") + "caf\xe9\x14");
         },
         {conforms, repaired},
         {EDF_ERR_DISCONTINUOUS, 0},
         EDF_ERR_DISCONTINUOUS},
    };
}

std::vector<edf_problem> checked(const std::string &path) {
    std::vector<edf_problem> problems(8);
    const int count = edf_check_file(path.c_str(), problems.data(), 8);
    EXPECT_GE(count, 0);
    problems.resize(static_cast<size_t>(count > 0 ? count : 0));
    return problems;
}

} // namespace

TEST(ConformingDiscontinuous, ListedAsConformingBesideWhatBreaksTheFormat) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("d.edf");
    const std::string copy = dir.file("copy.edf");
    for (const kind_case &c : cases()) {
        SCOPED_TRACE(c.name);
        const layout l{c.name, c.bdf, 1000000, 10, {0, follows, 5000000}};
        std::remove(path.c_str());
        ASSERT_EQ(write_file(path, l, 0), 0);
        c.spoil(path);

        const std::vector<edf_problem> problems = checked(path);
        ASSERT_EQ(problems.size(), c.actions.size());
        for (size_t i = 0; i < problems.size(); i++) {
            EXPECT_EQ(problems[i].action, c.actions[i]) << i;
            EXPECT_EQ(problems[i].code, c.codes[i]) << i;
            if (problems[i].action == EDF_PROBLEM_CONFORMS) {
                EXPECT_STREQ(problems[i].field, "reserved");
                EXPECT_STREQ(problems[i].found, c.bdf ? "BDF+D" : "EDF+D");
            }
        }
        auto hdr = std::make_unique<edf_header_info>();
        EXPECT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), -1);
        EXPECT_EQ(hdr->filetype, c.strict_code);
        ASSERT_EQ(edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS),
                  0);
        ASSERT_EQ(edf_get_problem_count(hdr->handle), static_cast<int>(problems.size()));
        for (size_t i = 0; i < problems.size(); i++) {
            edf_problem p;
            ASSERT_EQ(edf_get_problem(hdr->handle, static_cast<int>(i), &p), 0);
            EXPECT_EQ(std::memcmp(&p, &problems[i], sizeof p), 0) << i;
        }
        EXPECT_EQ(edf_get_segment_count(hdr->handle), 2);
        edfclose_file(hdr->handle);

        // The repaired copy stays discontinuous and breaks nothing; a conforming file is
        // copied as it is.
        std::remove(copy.c_str());
        ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0),
                  static_cast<int>(problems.size()));
        const std::vector<edf_problem> left = checked(copy);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].action, EDF_PROBLEM_CONFORMS);
        if (problems.size() == 1) {
            EXPECT_EQ(file_bytes(copy), file_bytes(path));
        }
        ASSERT_EQ(edfopen_file_readonly_tolerant(copy.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS),
                  0);
        EXPECT_EQ(edf_get_segment_count(hdr->handle), 2);
        EXPECT_EQ(edf_get_record_start(hdr->handle, 2), 5 * EDF_TIME_DIMENSION);
        edfclose_file(hdr->handle);
    }
}
