// The EDF+/BDF+ identification subfields: the grammar of the local patient and local
// recording identification fields, read into the recording block and written from values.
#pragma once

#include "recording/core/recording.h"

namespace edf::codec {

// Checks the 80-byte patient field and fills patient_code, sex_text, birthdate_text,
// birth_day, birth_month, birth_year, patient_name and patient_additional. Returns false
// when the field breaks the grammar.
bool parse_patient_field(const char field[80], edf_recording *recording);

// Checks the 80-byte recording field against the header's start date (its dd.mm.yy bytes
// and the derived four-digit start_year already in the block) and fills admin_code,
// technician, equipment and recording_additional. Returns false when it breaks the grammar.
bool parse_recording_field(const char field[80], const char start_date[8],
                           edf_recording *recording);

// The values of the patient subfields; empty texts and a birth year of 0 are unknown.
struct patient_subfields {
    const char *code;
    char sex; // 'M', 'F', or anything else for unknown
    int birth_day, birth_month, birth_year;
    const char *name;
    const char *additional;
};

// The values of the recording subfields; a start year of 0 writes no start date.
struct recording_subfields {
    int start_day, start_month, start_year;
    const char *admin_code;
    const char *technician;
    const char *equipment;
    const char *additional;
};

// The 80-byte fields, padded with spaces and NUL-terminated. Texts are transliterated, their
// spaces written as '_' (except in the additional texts), an unknown value as 'X'; each field
// has room for so much text, taken by the subfields in their order (later ones are cut or left
// out).
void format_patient_field(const patient_subfields &values, char field[81]);
void format_recording_field(const recording_subfields &values, char field[81]);

} // namespace edf::codec
