// The EDF+/BDF+ patient and recording identification fields: which are accepted, and what is
// extracted from them.
#include "recording/core/identification.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace edf;

namespace {

std::string field80(const std::string &text) {
    std::string out = text.substr(0, 80);
    out.resize(80, ' ');
    return out;
}

std::unique_ptr<edf_recording> parse_patient(const std::string &text, bool *accepted) {
    auto r = std::make_unique<edf_recording>();
    *accepted = edf::codec::parse_patient_field(field80(text).c_str(), r.get());
    return r;
}

struct patient_case {
    std::string field;
    std::string code, sex, birthdate;
    int day, month, year;
    std::string name, additional;
};

TEST(PatientField, ExtractsEverySubfield) {
    const patient_case cases[] = {
        {"X X X X", "", "", "", 0, 0, 0, "X", std::string(72, ' ')},
        {"ABC-123 F 02-MAY-1951 Subject_One", "ABC-123", "Female", "02 may 1951", 2, 5, 1951,
         "Subject One", std::string(46, ' ')},
        {"A M X B c d_e", "A", "Male", "", 0, 0, 0, "B", field80("c d_e").substr(0, 72)},
        {"X_Y M X B", "X Y", "Male", "", 0, 0, 0, "B", std::string(70, ' ')},
        {"P1 X 31-DEC-2084 N", "P1", "", "31 dec 2084", 31, 12, 2084, "N", std::string(61, ' ')},
        {"P1 M 01-JAN-1800 N_", "P1", "Male", "01 jan 1800", 1, 1, 1800, "N ",
         std::string(60, ' ')},
    };
    for (const patient_case &c : cases) {
        bool accepted = false;
        auto r = parse_patient(c.field, &accepted);
        ASSERT_TRUE(accepted) << c.field;
        EXPECT_EQ(r->patient_code, c.code) << c.field;
        EXPECT_EQ(r->sex_text, c.sex) << c.field;
        EXPECT_EQ(r->birthdate_text, c.birthdate) << c.field;
        EXPECT_EQ(r->birth_day, c.day) << c.field;
        EXPECT_EQ(r->birth_month, c.month) << c.field;
        EXPECT_EQ(r->birth_year, c.year) << c.field;
        EXPECT_EQ(r->patient_name, c.name) << c.field;
        EXPECT_EQ(r->patient_additional, c.additional) << c.field;
    }
}

TEST(PatientField, NameRunningToTheEndLeavesNoAdditionalText) {
    // A 64-character code, sex, full birth date and a one-letter name: exactly 80 bytes.
    bool accepted = false;
    auto r = parse_patient(std::string(64, 'c') + " M 02-MAY-1951 Z", &accepted);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(r->patient_code, std::string(64, 'c'));
    EXPECT_STREQ(r->patient_name, "Z");
    EXPECT_STREQ(r->patient_additional, "");
}

TEST(PatientField, RefusesBrokenGrammar) {
    const std::string refused[] = {
        "ABC F 02-may-1951 N",                    // lower-case month
        "ABC F 2-MAY-1951 N",                     // one-digit day
        "ABC F 00-MAY-1951 N",                    // day 0
        "ABC F 32-MAY-1951 N",                    // day 32
        "ABC F 02-MAI-1951 N",                    // unknown month
        "ABC F 02/MAY/1951 N",                    // wrong separators
        "ABC F 02-MAY-19a1 N",                    // year not digits
        "ABC F 02-MAY-1951  N",                   // empty name after a date
        "ABC F 02-MAY-1951",                      // no name after a date
        "ABC F X  N",                             // empty name after X
        " ABC F X N",                             // starts with a space
        std::string(80, 'A'),                     // no space at all
        "ABC m X N",                              // lower-case sex
        "ABC U X N",                              // unknown sex
        "ABC F  X N",                             // two spaces between sex and birth date
        "ABC FX X N",                             // sex longer than one letter
        std::string(65, 'c') + " M 02-MAY-1951 ", // code too long for a full birth date
        std::string(73, 'c') + " M X N",          // code longer than 72
    };
    for (const std::string &text : refused) {
        bool accepted = true;
        parse_patient(text, &accepted);
        EXPECT_FALSE(accepted) << "'" << text << "'";
    }
}

TEST(PatientField, LongCodesNeedAnXBirthDate) {
    for (int length = 65; length <= 72; length++) {
        bool accepted = false;
        auto r = parse_patient(std::string(static_cast<size_t>(length), 'c') + " F X N", &accepted);
        EXPECT_TRUE(accepted) << length;
        EXPECT_EQ(std::string(r->patient_code).size(), static_cast<size_t>(length));
    }
}

// The header's start date as dd.mm.yy and the four-digit year derived from it.
struct header_date {
    const char *text;
    int year;
};

std::unique_ptr<edf_recording> parse_recording(const std::string &text, header_date date,
                                               bool *accepted) {
    auto r = std::make_unique<edf_recording>();
    r->start_year = date.year;
    *accepted = edf::codec::parse_recording_field(field80(text).c_str(), date.text, r.get());
    return r;
}

struct recording_case {
    std::string field;
    std::string admin, technician, equipment, additional;
};

TEST(RecordingField, ExtractsEverySubfield) {
    const header_date date{"02.03.02", 2002};
    const recording_case cases[] = {
        {"Startdate X X X X", "", "", "", std::string(62, ' ')},
        {"Startdate 02-MAR-2002 ADM7 TECH_A AMP-2 left_arm test", "ADM7", "TECH A", "AMP-2",
         field80("left_arm test").substr(0, 40)},
        {"Startdate X A B C", "A", "B", "C", std::string(62, ' ')},
        {"Startdate X X_1 X C_D", "X 1", "", "C D", std::string(58, ' ')},
        // The equipment may begin at the last byte.
        {"Startdate X " + std::string(64, 'a') + " T E", std::string(64, 'a'), "T", "E", ""},
    };
    for (const recording_case &c : cases) {
        bool accepted = false;
        auto r = parse_recording(c.field, date, &accepted);
        ASSERT_TRUE(accepted) << c.field;
        EXPECT_EQ(r->admin_code, c.admin) << c.field;
        EXPECT_EQ(r->technician, c.technician) << c.field;
        EXPECT_EQ(r->equipment, c.equipment) << c.field;
        EXPECT_EQ(r->recording_additional, c.additional) << c.field;
    }
}

TEST(RecordingField, RefusesBrokenGrammar) {
    const header_date date{"02.03.02", 2002};
    const std::string refused[] = {
        "Startdate X A B",                            // no equipment
        "Startdate X A  B C",                         // two spaces
        "startdate X A B C",                          // lower-case keyword
        "Startdate  X A B C",                         // two spaces after the keyword
        "Startdate X  A B C",                         // empty administration code
        "Startdate 02-mar-2002 A B C",                // lower-case month
        "Startdate 02-MAR-2002  A B C",               // two spaces after the date
        "Startdate 2-MAR-2002 A B C",                 // one-digit day
        "Startdate 02-MAR-02 A B C",                  // two-digit year
        "Startdate X " + std::string(65, 'a') + " T", // equipment would start past the end
        "Startdate",                                  // nothing after the keyword
        "",                                           // blank field
    };
    for (const std::string &text : refused) {
        bool accepted = true;
        parse_recording(text, date, &accepted);
        EXPECT_FALSE(accepted) << "'" << text << "'";
    }
}

TEST(RecordingField, StartDateMustAgreeWithTheHeader) {
    const std::string field = "Startdate 02-MAR-2002 ADM7 TECH_A AMP-2 left_arm test";
    const struct {
        std::string field;
        header_date date;
        bool accepted;
    } cases[] = {
        {field, {"02.03.02", 2002}, true},
        {field, {"03.03.02", 2002}, false}, // other day
        {field, {"02.04.02", 2002}, false}, // other month
        {field, {"02.03.03", 2003}, false}, // other year
        {"Startdate 02-MAR-1902 A B C", {"02.03.02", 2002}, false},
        {"Startdate 01-JAN-1985 A B C", {"01.01.85", 1985}, true},
        {"Startdate 01-JAN-2085 A B C", {"01.01.85", 1985}, false}, // outside 1985-2084
        {"Startdate 31-DEC-2084 A B C", {"31.12.84", 2084}, true},
        {"Startdate 31-DEC-1984 A B C", {"31.12.84", 2084}, false},
        // Without a date nothing is compared.
        {"Startdate X A B C", {"31.12.84", 2084}, true},
    };
    for (const auto &c : cases) {
        bool accepted = !c.accepted;
        parse_recording(c.field, c.date, &accepted);
        EXPECT_EQ(accepted, c.accepted) << c.field << " with header date " << c.date.text;
    }
}

} // namespace
