// The header's fields as the reports show them, shared by the text and the JSON report.
#pragma once

#include "recording/edf.h"

#include <string>
#include <vector>

struct named_field {
    const char *key;   // JSON key, e.g. "patient_code"
    const char *title; // title in the text report, e.g. "Patient code"
    std::string value; // the text, trailing padding spaces removed
};

// The identification fields: patient code, sex, birthdate (YYYY-MM-DD, empty when unknown),
// patient name, patient additional, admin code, technician, equipment and recording
// additional for EDF+ and BDF+; patient and recording for EDF and BDF.
std::vector<named_field> identification_fields(const edf_header_info &header);

// The start as YYYY-MM-DD, the separator, then hh:mm:ss.fffffff (seven decimals: the file's
// time resolution is 100 ns).
std::string start_text(const edf_header_info &header, char separator);
