// Identification fields and the start time as texts.
#include "header_fields.h"

#include "number_text.h"
#include "utf8_text.h"

#include <cstdio>

std::vector<named_field> identification_fields(const edf_header_info &header) {
    std::vector<named_field> fields;
    const auto add = [&fields](const char *key, const char *title, const char *value) {
        fields.push_back({key, title, without_trailing_spaces(value)});
    };
    if (header.filetype == EDF_FILETYPE_EDF || header.filetype == EDF_FILETYPE_BDF) {
        add("patient", "Patient", header.patient);
        add("recording", "Recording", header.recording);
        return fields;
    }
    char birthdate[32] = "";
    if (header.birth_year != 0) {
        std::snprintf(birthdate, sizeof birthdate, "%04d-%02d-%02d", header.birth_year,
                      header.birth_month, header.birth_day);
    }
    add("patient_code", "Patient code", header.patient_code);
    add("sex", "Sex", header.sex);
    add("birthdate", "Birthdate", birthdate);
    add("patient_name", "Patient name", header.patient_name);
    add("patient_additional", "Patient additional", header.patient_additional);
    add("admin_code", "Admin code", header.admin_code);
    add("technician", "Technician", header.technician);
    add("equipment", "Equipment", header.equipment);
    add("recording_additional", "Recording additional", header.recording_additional);
    return fields;
}

std::string start_text(const edf_header_info &header, char separator) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d.", header.start_year,
                  header.start_month, header.start_day, separator, header.start_hour,
                  header.start_minute, header.start_second);
    return text + subsecond_digits(header.start_subsecond);
}
