// Annotation texts that are not UTF-8, as other programs write Latin-1: the tolerant open
// reads such a text as Latin-1 and hands it out as UTF-8, naming the first of each record as
// a repaired problem; the repaired copy stores it as UTF-8 (transliterated to ASCII where the
// annotation signal has no room for the longer form). The strict open accepts such texts and
// hands them out as stored, so the problem carries no code of the strict open's (code 0): the
// check lists it, and the strict open still opens the file.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace reader_test;

namespace {

const std::string nul(1, '\0');

struct text_case {
    const char *name;
    std::vector<std::string> records;     // each record's annotation signal
    int signal_samples;                   // of the annotation signal
    std::vector<int64_t> problem_records; // one problem per record named
    std::vector<std::string> stored;      // the texts as the strict open hands them out
    std::vector<std::string> handed_out;  // as the tolerant open hands them out
    std::vector<std::string> copied;      // as the repaired copy holds them
};

std::string e_acute(int n, const char *form) {
    std::string s;
    for (int i = 0; i < n; i++) {
        s += form;
    }
    return s;
}

std::vector<text_case> cases() {
    const std::string tk0 = timekeeping("0");
    const std::string tk1 = timekeeping("1");
    return {
        {"Latin-1",
         {tk0, tk1 +
                   "+1.5\x14"
                   "caf\xe9 au lait\x14" +
                   nul},
         60,
         {1},
         {"caf\xe9 au lait"},
         {"caf\xc3\xa9 au lait"},
         {"caf\xc3\xa9 au lait"}},
        {"UTF-8",
         {tk0, tk1 +
                   "+1.5\x14"
                   "caf\xc3\xa9\x14" +
                   nul},
         60,
         {},
         {"caf\xc3\xa9"},
         {"caf\xc3\xa9"},
         {"caf\xc3\xa9"}},
        {"two in a record, one in another",
         {tk0 +
              "+0.5\x14"
              "\xe0 gauche\x14" +
              nul +
              "+0.7\x15"
              "1\x14"
              "caf\xe9\x14"
              "ok\x14" +
              nul,
          tk1 +
              "+1\x14"
              "na\xefve\x14" +
              nul},
         60,
         {0, 1},
         {"\xe0 gauche", "caf\xe9", "ok", "na\xefve"},
         {"\xc3\xa0 gauche", "caf\xc3\xa9", "ok", "na\xc3\xafve"},
         {"\xc3\xa0 gauche", "caf\xc3\xa9", "ok", "na\xc3\xafve"}},
        // A text in the time-keeping TAL, after its empty one.
        {"in the time-keeping TAL",
         {"+0\x14\x14"
          "\xb5V\x14" +
          nul},
         60,
         {0},
         {"\xb5V"},
         {"\xc2\xb5V"},
         {"\xc2\xb5V"}},
        // Not UTF-8 as a whole: every byte is read as Latin-1, the well-formed pair too.
        {"UTF-8 and Latin-1 mixed",
         {tk0 +
          "+0\x14"
          "\xc3\xa9t\xe9\x14" +
          nul},
         60,
         {0},
         {"\xc3\xa9t\xe9"},
         {"\xc3\x83\xc2\xa9t\xc3\xa9"},
         {"\xc3\x83\xc2\xa9t\xc3\xa9"}},
        // The UTF-8 form would not fit the 120 bytes: the copy transliterates.
        {"no room for UTF-8",
         {tk0 + "+1\x14" + e_acute(100, "\xe9") + "\x14" + nul},
         60,
         {0},
         {e_acute(100, "\xe9")},
         {e_acute(100, "\xc3\xa9")},
         {e_acute(100, "e")}},
        // 300 characters are handed out as the first 512 bytes of their UTF-8 form.
        {"longer than 512 bytes as UTF-8",
         {tk0 + "+1\x14" + e_acute(300, "\xe9") + "\x14" + nul},
         400,
         {0},
         {e_acute(300, "\xe9")},
         {e_acute(256, "\xc3\xa9")},
         {e_acute(256, "\xc3\xa9")}},
    };
}

// Bytes as a problem's `found` shows them: printable ASCII as it is, others as \xNN, at most
// 80 characters.
std::string escaped(const std::string &bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char part[5];
        std::snprintf(part, sizeof part, b >= 0x20 && b <= 0x7E ? "%c" : "\\x%02X", b);
        if (out.size() + std::strlen(part) > 80) {
            break;
        }
        out += part;
    }
    return out;
}

std::string file_of(const text_case &c) {
    file_spec f;
    f.signals = {annotation_signal_spec(false, c.signal_samples)};
    std::string bytes = header_bytes(f, static_cast<int64_t>(c.records.size()));
    for (const std::string &r : c.records) {
        bytes += tal_bytes(r, static_cast<size_t>(2 * c.signal_samples));
    }
    return bytes;
}

std::vector<std::string> texts(const std::string &path, bool tolerant, int *problems = nullptr) {
    auto hdr = new_header();
    const int opened =
        tolerant ? edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS)
                 : edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS);
    EXPECT_EQ(opened, 0) << hdr->filetype;
    std::vector<std::string> out;
    if (opened != 0) {
        return out;
    }
    for (int n = 0; n < hdr->annotation_count; n++) {
        edf_annotation a;
        EXPECT_EQ(edf_get_annotation(hdr->handle, n, &a), 0);
        out.push_back(a.annotation);
    }
    if (problems != nullptr) {
        *problems = edf_get_problem_count(hdr->handle);
    }
    edfclose_file(hdr->handle);
    return out;
}

} // namespace

TEST(Latin1Annotation, ReadAsLatinOneByTheTolerantOpenAndTheRepairedCopy) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("texts.edf");
    const std::string copy = dir.file("copy.edf");
    for (const text_case &c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string bytes = file_of(c);
        write_bytes(path, bytes);

        // Listed by the check, with no code: the strict open accepts the file.
        edf_problem problems[8];
        const int count = edf_check_file(path.c_str(), problems, 8);
        ASSERT_EQ(count, static_cast<int>(c.problem_records.size()));
        for (int i = 0; i < count; i++) {
            const edf_problem &p = problems[i];
            EXPECT_STREQ(p.field, "annotation text");
            EXPECT_EQ(p.record, c.problem_records[static_cast<size_t>(i)]);
            EXPECT_EQ(p.signal, 0);
            EXPECT_EQ(p.action, EDF_PROBLEM_REPAIRED);
            EXPECT_EQ(p.code, 0);
            // The offset is the text's (after the 0x14 before it); found shows its bytes.
            const size_t at = static_cast<size_t>(p.offset);
            EXPECT_EQ(bytes[at - 1], '\x14');
            EXPECT_EQ(p.found, escaped(bytes.substr(at, bytes.find('\x14', at) - at)));
        }
        EXPECT_EQ(texts(path, false), c.stored);
        int listed = -1;
        EXPECT_EQ(texts(path, true, &listed), c.handed_out);
        EXPECT_EQ(listed, count);

        std::remove(copy.c_str());
        ASSERT_EQ(edf_repair_file(path.c_str(), copy.c_str(), 0, nullptr, 0), count);
        EXPECT_EQ(edf_check_file(copy.c_str(), nullptr, 0), 0);
        EXPECT_EQ(texts(copy, false), c.copied);
        if (count == 0) {
            EXPECT_EQ(read_bytes(copy), bytes);
        }
    }

    // A recording left by a dead writer with such a text is still recovered: the strict open
    // accepts the text.
    text_case unfinished = cases()[0];
    std::string bytes = file_of(unfinished);
    bytes.replace(236, 8, pad("-1", 8));
    write_bytes(path, bytes + "xy");
    EXPECT_EQ(edf_recover_file(path.c_str()), 2);
    EXPECT_EQ(texts(path, false), unfinished.stored);
}
