// The EDF+/BDF+ identification fields are space-separated subfields: 'X' stands for a subfield
// without a value and '_' for a space inside a subfield; the last subfield of each field is
// free text. Positions count from 0 within the 80-byte field, and every index below is kept
// inside it by the checks that precede it.
#include "recording/core/identification.h"

#include "recording/core/header_layout.h"
#include "recording/core/text_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace edf::codec {
namespace {

constexpr int field_width = 80;
constexpr int date_subfield_width = 11; // dd-MMM-yyyy

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int two_digits(const char *s) {
    return (s[0] - '0') * 10 + (s[1] - '0');
}

struct date_subfield {
    int day;
    int month; // 1 to 12
    int year;
};

// dd-MMM-yyyy: a day of 1 to 31, an upper-case month name and a four-digit year.
bool read_date_subfield(const char *s, date_subfield *date) {
    if (!is_digit(s[0]) || !is_digit(s[1]) || s[2] != '-' || s[6] != '-') {
        return false;
    }
    for (int i = 7; i < date_subfield_width; i++) {
        if (!is_digit(s[i])) {
            return false;
        }
    }
    date->day = two_digits(s);
    if (date->day < 1 || date->day > 31) {
        return false;
    }
    date->month = 0;
    for (int m = 0; m < 12; m++) {
        if (std::memcmp(s + 3, edf_layout::month_names[m], 3) == 0) {
            date->month = m + 1;
            break;
        }
    }
    if (date->month == 0) {
        return false;
    }
    date->year = two_digits(s + 7) * 100 + two_digits(s + 9);
    return true;
}

// Position of the first space at or after `from`, or the field width when there is none.
int find_space(const char *field, int from) {
    for (int i = from; i < field_width; i++) {
        if (field[i] == ' ') {
            return i;
        }
    }
    return field_width;
}

// Copies field[begin, end) into `out` (room for 81), turning '_' into spaces when asked.
void copy_text(char *out, const char *field, int begin, int end, bool underscores_to_spaces) {
    int n = 0;
    for (int i = begin; i < end; i++) {
        const char c = field[i];
        out[n++] = underscores_to_spaces && c == '_' ? ' ' : c;
    }
    out[n] = '\0';
}

// One word subfield starting at `at`: empty for 'X' and a space, else the text up to the next
// space or the end of the field with '_' turned into spaces. Returns where the next subfield
// starts (the field width when this one reaches the end).
int take_word(const char *field, int at, char *out) {
    if (at + 1 < field_width && field[at] == 'X' && field[at + 1] == ' ') {
        out[0] = '\0';
        return at + 2;
    }
    const int end = find_space(field, at);
    copy_text(out, field, at, end, true);
    return end < field_width ? end + 1 : field_width;
}

// Appends to a field under construction, never past its 80 bytes.
struct field_builder {
    char text[field_width];
    int length = 0;
    void add(const char *s) {
        for (; *s != '\0' && length < field_width; s++) {
            text[length++] = *s;
        }
    }
    // A subfield of at most `room` bytes, transliterated (with '_' for spaces when asked),
    // followed by `after`; the room shrinks by the text's whole length.
    void add_subfield(const char *source, int *room, bool underscores, const char *after) {
        const int n = std::min(static_cast<int>(strnlen(source, EDF_TEXT_BUFFER_SIZE - 1)),
                               std::max(*room, 0));
        for (int i = 0; i < n && length < field_width; i++) {
            char c = source[i];
            edf_latin1_to_ascii(&c, 1);
            text[length++] = underscores && c == ' ' ? '_' : c;
        }
        add(after);
        *room = std::max(0, *room - static_cast<int>(std::strlen(source)));
    }
    // The date subfield dd-MMM-yyyy and a space.
    void add_date(int day, int month, int year) {
        char date[24];
        std::snprintf(date, sizeof date, "%02d-%s-%04d ", day % 100,
                      edf_layout::month_names[(month >= 1 && month <= 12 ? month : 1) - 1],
                      year % 10000);
        add(date);
    }
    void finish(char field[81]) {
        std::memcpy(field, text, static_cast<size_t>(length));
        std::memset(field + length, ' ', static_cast<size_t>(field_width - length));
        field[field_width] = '\0';
    }
};

} // namespace

bool parse_patient_field(const char field[80], edf_recording *recording) {
    // Checks. The patient code is 1 to 72 bytes long, then comes a one-letter sex, then a
    // birth date ('X' or dd-MMM-yyyy), then a name that must not be empty.
    const int p = find_space(field, 0);
    if (p < 1 || p > 72) {
        return false;
    }
    const char sex = field[p + 1];
    if ((sex != 'F' && sex != 'M' && sex != 'X') || field[p + 2] != ' ') {
        return false;
    }
    const int birth = p + 3;
    date_subfield birthdate{};
    const bool has_birthdate = field[birth] != 'X';
    if (!has_birthdate) {
        if (field[birth + 1] != ' ' || field[birth + 2] == ' ') {
            return false;
        }
    } else if (p > 64 || !read_date_subfield(field + birth, &birthdate) ||
               field[birth + date_subfield_width] != ' ' ||
               field[birth + date_subfield_width + 1] == ' ') {
        return false;
    }

    // Extraction.
    const int sex_at = take_word(field, 0, recording->patient_code);
    std::strcpy(recording->sex_text, sex == 'M' ? "Male" : sex == 'F' ? "Female" : "");
    int name_at = sex_at + 2;
    if (has_birthdate) {
        // dd-MMM-yyyy becomes dd mmm yyyy.
        char *text = recording->birthdate_text;
        std::memcpy(text, field + birth, date_subfield_width);
        text[2] = ' ';
        text[6] = ' ';
        for (int i = 3; i < 6; i++) {
            text[i] = static_cast<char>(text[i] - 'A' + 'a');
        }
        text[date_subfield_width] = '\0';
        recording->birth_day = birthdate.day;
        recording->birth_month = birthdate.month;
        recording->birth_year = birthdate.year;
        name_at += date_subfield_width + 1;
    } else {
        recording->birthdate_text[0] = '\0';
        recording->birth_day = 0;
        recording->birth_month = 0;
        recording->birth_year = 0;
        name_at += 2;
    }
    // The name keeps a lone 'X' as it is.
    const int name_end = find_space(field, name_at);
    copy_text(recording->patient_name, field, name_at, name_end, true);
    if (name_end < field_width) {
        copy_text(recording->patient_additional, field, name_end + 1, field_width, false);
    } else {
        recording->patient_additional[0] = '\0';
    }
    return true;
}

bool parse_recording_field(const char field[80], const char start_date[8],
                           edf_recording *recording) {
    // Checks. "Startdate ", then 'X' or dd-MMM-yyyy, then an administration code and a
    // technician, each a non-empty word followed by exactly one space, then the equipment,
    // which must begin by the last byte.
    if (std::memcmp(field, "Startdate ", 10) != 0) {
        return false;
    }
    date_subfield date{};
    const bool has_date = field[10] != 'X';
    int rest;
    if (!has_date) {
        if (field[11] != ' ' || field[12] == ' ') {
            return false;
        }
        rest = 12;
    } else {
        if (!read_date_subfield(field + 10, &date) || field[21] != ' ' || field[22] == ' ') {
            return false;
        }
        rest = 22;
    }
    int spaces = 0;
    for (int i = rest; i < field_width - 1 && spaces < 2; i++) {
        if (field[i] == ' ') {
            if (field[i + 1] == ' ') {
                return false;
            }
            spaces++;
        }
    }
    if (spaces < 2) {
        return false;
    }
    // A dated subfield must name the header's start date, with the same four-digit year as
    // the header's two-digit year gives.
    if (has_date && (date.day != two_digits(start_date) ||
                     date.month != two_digits(start_date + 3) || field[19] != start_date[6] ||
                     field[20] != start_date[7] || date.year != recording->start_year)) {
        return false;
    }

    // Extraction; the start date itself is not stored.
    int at = take_word(field, rest, recording->admin_code);
    at = take_word(field, at, recording->technician);
    at = take_word(field, at, recording->equipment);
    copy_text(recording->recording_additional, field, at, field_width, false);
    return true;
}

void format_patient_field(const patient_subfields &v, char field[81]) {
    field_builder f;
    int room = v.birth_year != 0 ? 62 : 72;
    if (v.code[0] == '\0') {
        f.add("X ");
    } else {
        f.add_subfield(v.code, &room, true, " ");
    }
    f.add(v.sex == 'M' ? "M " : v.sex == 'F' ? "F " : "X ");
    if (v.birth_year == 0) {
        f.add("X ");
    } else {
        f.add_date(v.birth_day, v.birth_month, v.birth_year);
    }
    if (v.name[0] != '\0' && room > 0) {
        f.add_subfield(v.name, &room, true, "");
    } else {
        f.add("X");
    }
    if (room > 0) {
        f.add(" ");
        room--;
    }
    if (v.additional[0] != '\0' && room > 0) {
        f.add_subfield(v.additional, &room, false, "");
    }
    f.finish(field);
}

void format_recording_field(const recording_subfields &v, char field[81]) {
    field_builder f;
    f.add("Startdate ");
    if (v.start_year == 0) {
        f.add("X ");
    } else {
        f.add_date(v.start_day, v.start_month, v.start_year);
    }
    int room = 52;
    if (v.admin_code[0] == '\0') {
        f.add("X ");
    } else {
        f.add_subfield(v.admin_code, &room, true, " ");
    }
    for (const char *text : {v.technician, v.equipment}) {
        if (text[0] != '\0' && room > 0) {
            f.add_subfield(text, &room, true, " ");
        } else {
            f.add("X ");
        }
    }
    if (v.additional[0] != '\0' && room > 0) {
        f.add_subfield(v.additional, &room, false, "");
    }
    f.finish(field);
}

} // namespace edf::codec
