// Arbitrary text through the numeric routines and the identification-field grammar. Beyond
// "no crash, no undefined behaviour", it checks properties that must hold for every input:
// the validators answer 0 or 1, the parsers agree with the validators on plain integers, and
// a field accepted by the grammar yields NUL-terminated subfields within their widths.
#include "recording/core/recording.h"
#include "recording/core/text_parse.h"
#include "recording/core/identification.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void numeric_routines(const uint8_t *data, size_t size) {
    char text[257];
    const size_t n = size < 256 ? size : 256;
    std::memcpy(text, data, n);
    text[n] = '\0';

    const int is_integer = edf_text_is_integer(text);
    const int is_number = edf_text_is_number(text);
    check(is_integer == 0 || is_integer == 1);
    check(is_number == 0 || is_number == 1);
    if (is_integer == 0) {
        check(is_number == 0); // every integer is a number
    }
    const int value = edf_atoi(text);
    if (is_integer == 0 && std::strlen(text) <= 8) {
        // Short integer texts are in range: the value is the plain decimal reading.
        check(value == static_cast<int>(std::strtol(text, nullptr, 10)));
    }
    (void)edf_atof(text);
    int64_t ticks = 0;
    (void)edf_text_to_ticks_checked(text, &ticks);

    char field[9];
    std::memset(field, ' ', 8);
    std::memcpy(field, text, n < 8 ? n : 8);
    field[8] = '\0';
    (void)edf_field_to_ticks(field);
}

void identification(const uint8_t *data, size_t size) {
    // Fields are printable ASCII by the time the grammar sees them.
    char patient[80];
    char recording_field[80];
    char start_date[8];
    for (size_t i = 0; i < 80; i++) {
        const uint8_t b = i < size ? data[i] : ' ';
        patient[i] = static_cast<char>(0x20 + b % 95);
        const uint8_t c = i + 80 < size ? data[i + 80] : ' ';
        recording_field[i] = static_cast<char>(0x20 + c % 95);
    }
    for (size_t i = 0; i < 8; i++) {
        const uint8_t b = i + 160 < size ? data[i + 160] : '0';
        start_date[i] = static_cast<char>(0x20 + b % 95);
    }
    edf_recording block{};
    block.start_year = size > 168 ? 1985 + data[168] % 100 : 2002;
    if (edf::codec::parse_patient_field(patient, &block)) {
        check(std::strlen(block.patient_code) <= 80 && std::strlen(block.patient_name) <= 80 &&
              std::strlen(block.patient_additional) <= 80 &&
              std::strlen(block.birthdate_text) <= 15 && std::strlen(block.sex_text) <= 15);
    }
    if (edf::codec::parse_recording_field(recording_field, start_date, &block)) {
        check(std::strlen(block.admin_code) <= 80 && std::strlen(block.technician) <= 80 &&
              std::strlen(block.equipment) <= 80 && std::strlen(block.recording_additional) <= 80);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    numeric_routines(data, size);
    identification(data, size);
    return 0;
}
