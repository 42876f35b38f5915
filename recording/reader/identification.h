// The EDF+/BDF+ identification subfields: the grammar of the local patient and local
// recording identification fields, and their extraction into the recording block.
#pragma once

#include "recording/core/recording.h"

// Checks the 80-byte patient field and fills patient_code, sex_text, birthdate_text,
// birth_day, birth_month, birth_year, patient_name and patient_additional. Returns false
// when the field breaks the grammar.
bool edf_parse_patient_field(const char field[80], edf_recording *recording);

// Checks the 80-byte recording field against the header's start date (its dd.mm.yy bytes
// and the derived four-digit start_year already in the block) and fills admin_code,
// technician, equipment and recording_additional. Returns false when it breaks the grammar.
bool edf_parse_recording_field(const char field[80], const char start_date[8],
                               edf_recording *recording);
