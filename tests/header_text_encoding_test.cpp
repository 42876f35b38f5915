// Header texts outside printable ASCII, as other programs write them: the tolerant open hands
// out a text that is well-formed UTF-8 as the characters it holds, and any other as Latin-1
// converted to UTF-8; the repaired copy (and so a de-identified copy of such a file) writes
// both with the writer's transliteration to ASCII ("µV" gives "uV", "Jörg Müller" "Jorg
// Muller").
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace reader_test;

namespace {

constexpr size_t ns = 2;

file_spec sample_file() {
    file_spec f;
    f.patient = "X M 01-JAN-1980 X";
    f.recording = "Startdate 01-FEB-2003 X X X";
    f.signals = {{"EEG", 4, -32768, 32767, "-100", "100", "uV", "AgCl", "HP:0.1Hz"},
                 annotation_signal_spec(false)};
    return f;
}

std::string file_of(const file_spec &f) {
    std::string bytes = header_bytes(f, 2);
    for (int r = 0; r < 2; r++) {
        for (int i = 0; i < 4; i++) {
            bytes += sample16(10 * r + i);
        }
        bytes += tal_bytes(timekeeping(std::to_string(r)));
    }
    return bytes;
}

// Offset of field `start` (width `width`) of signal 0.
size_t signal_field(int start) {
    return 256 + ns * static_cast<size_t>(start);
}

struct text_case {
    const char *name;
    size_t offset; // of the field
    size_t width;
    std::string stored;  // the field's bytes (padded with spaces)
    const char *field;   // the problem's field
    const char *reading; // "UTF-8" or "Latin-1"
    std::function<std::string(const edf_header_info &)> handed_out;
    std::string expected; // what the tolerant open hands out (trailing spaces dropped)
    std::string repaired; // the copy's field (trailing spaces dropped)
};

std::string trimmed(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<text_case> cases() {
    const auto unit = [](const edf_header_info &h) { return h.signals[0].physical_dimension; };
    const auto label = [](const edf_header_info &h) { return h.signals[0].label; };
    const auto transducer = [](const edf_header_info &h) { return h.signals[0].transducer; };
    const auto prefilter = [](const edf_header_info &h) { return h.signals[0].prefilter; };
    const auto name = [](const edf_header_info &h) { return h.patient_name; };
    const auto technician = [](const edf_header_info &h) { return h.technician; };
    return {
        {"unit in UTF-8", signal_field(96), 8, "\xc2\xb5V", "physical dimension", "UTF-8", unit,
         "\xc2\xb5V", "uV"},
        {"unit in Latin-1", signal_field(96), 8, "\xb5V", "physical dimension", "Latin-1", unit,
         "\xc2\xb5V", "uV"},
        {"label in UTF-8", signal_field(0), 16, "F\xc3\xa4hler 1", "label", "UTF-8", label,
         "F\xc3\xa4hler 1", "Fahler 1"},
        {"label in Latin-1", signal_field(0), 16, "F\xe4hler 1", "label", "Latin-1", label,
         "F\xc3\xa4hler 1", "Fahler 1"},
        {"transducer in UTF-8 (Latin Extended-A)", signal_field(16), 80,
         "Elektroda \xc5\x81\xc3\xb3"
         "d\xc5\xba",
         "transducer", "UTF-8", transducer,
         "Elektroda \xc5\x81\xc3\xb3"
         "d\xc5\xba",
         "Elektroda Lodz"},
        {"prefilter in UTF-8", signal_field(136), 80, "HP:0.1Hz \xe2\x80\x93 50Hz", "prefiltering",
         "UTF-8", prefilter, "HP:0.1Hz \xe2\x80\x93 50Hz", "HP:0.1Hz - 50Hz"},
        {"patient name in UTF-8", 8, 80, "X M 01-JAN-1980 J\xc3\xb6rg_M\xc3\xbcller",
         "patient identification", "UTF-8", name, "J\xc3\xb6rg M\xc3\xbcller",
         "X M 01-JAN-1980 Jorg_Muller"},
        {"patient name in Latin-1", 8, 80, "X M 01-JAN-1980 J\xf6rg_M\xfcller",
         "patient identification", "Latin-1", name, "J\xc3\xb6rg M\xc3\xbcller",
         "X M 01-JAN-1980 Jorg_Muller"},
        {"technician in UTF-8", 88, 80, "Startdate 01-FEB-2003 X Ren\xc3\xa9 X",
         "recording identification", "UTF-8", technician, "Ren\xc3\xa9",
         "Startdate 01-FEB-2003 X Rene X"},
    };
}

struct tolerant {
    std::unique_ptr<edf_header_info> header = new_header();
    int result;
    explicit tolerant(const std::string &path) {
        result =
            edfopen_file_readonly_tolerant(path.c_str(), header.get(), EDF_READ_ALL_ANNOTATIONS);
    }
    ~tolerant() {
        if (result == 0) {
            edfclose_file(header->handle);
        }
    }
};

} // namespace

TEST(HeaderTextEncoding, UtfEightAsItIsLatinOneConvertedCopiesTransliterated) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("texts.edf");
    const std::string copy = dir.file("copy.edf");
    for (const text_case &c : cases()) {
        SCOPED_TRACE(c.name);
        std::string bytes = file_of(sample_file());
        bytes.replace(c.offset, c.width, pad(c.stored, c.width));
        write_bytes(path, bytes);

        edf_problem problem;
        ASSERT_EQ(edf_check_file(path.c_str(), &problem, 1), 1);
        EXPECT_STREQ(problem.field, c.field);
        EXPECT_EQ(problem.offset, static_cast<int64_t>(c.offset));
        EXPECT_NE(std::string(problem.message).find(std::string("read as ") + c.reading),
                  std::string::npos)
            << problem.message;
        {
            tolerant f(path);
            ASSERT_EQ(f.result, 0);
            EXPECT_EQ(trimmed(c.handed_out(*f.header)), c.expected);
        }

        std::remove(copy.c_str());
        ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), 1);
        const std::string repaired = read_bytes(copy);
        EXPECT_EQ(trimmed(repaired.substr(c.offset, c.width)), c.repaired);
        EXPECT_EQ(repaired.substr(0, c.offset) + repaired.substr(c.offset + c.width),
                  bytes.substr(0, c.offset) + bytes.substr(c.offset + c.width));
        auto strict = new_header();
        ASSERT_EQ(edfopen_file_readonly(copy.c_str(), strict.get(), EDF_READ_ALL_ANNOTATIONS), 0);
        edfclose_file(strict->handle);
    }

    // A plain EDF file's patient field is handed out whole.
    file_spec plain = sample_file();
    plain.reserved = "";
    plain.signals.pop_back();
    plain.patient = "J\xc3\xb6rg M\xc3\xbcller, Zimmer 3";
    std::string bytes =
        header_bytes(plain, 1) + sample16(1) + sample16(2) + sample16(3) + sample16(4);
    write_bytes(path, bytes);
    {
        tolerant f(path);
        ASSERT_EQ(f.result, 0);
        EXPECT_EQ(trimmed(f.header->patient), "J\xc3\xb6rg M\xc3\xbcller, Zimmer 3");
    }

    // An EDF+ patient field outside the subfield grammar is kept whole, in a copy after the
    // empty subfields.
    bytes = file_of(sample_file());
    bytes.replace(8, 80, pad("J\xc3\xb6rg M\xc3\xbcller, Zimmer 3", 80));
    write_bytes(path, bytes);
    std::remove(copy.c_str());
    ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), 2);
    EXPECT_EQ(read_bytes(copy).substr(8, 80), pad("X X X X Jorg Muller, Zimmer 3", 80));

    // A de-identified copy of such a file keeps the signal texts, transliterated by the
    // repair it goes through.
    bytes = file_of(sample_file());
    bytes.replace(signal_field(96), 8, pad("\xc2\xb5V", 8));
    write_bytes(path, bytes);
    std::remove(copy.c_str());
    ASSERT_EQ(edf_anonymize_file(path.c_str(), copy.c_str(), 0), 0);
    EXPECT_EQ(read_bytes(copy).substr(signal_field(96), 8), pad("uV", 8));
}

// A label that reads as an annotation signal's once read (Latin-1 cut to the field, a control
// byte read as a space) stays an ordinary signal's, with '_' for its first space, so that a
// program writing it on cannot make an annotation signal of it.
TEST(HeaderTextEncoding, LabelsThatReadAsTheAnnotationLabelKeepTheirSignalOrdinary) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("labels.edf");
    for (const char *stored : {"EDF Annotations\xd9", "EDF\x01"
                                                      "Annotations "}) {
        std::string bytes = file_of(sample_file());
        bytes.replace(signal_field(0), 16, stored);
        write_bytes(path, bytes);
        tolerant f(path);
        ASSERT_EQ(f.result, 0);
        EXPECT_EQ(f.header->ordinary_signal_count, 1);
        EXPECT_EQ(trimmed(f.header->signals[0].label), "EDF_Annotations");
    }
}
