// Synthesises the reference test recording "freq_sweep.edf": a 300-second logarithmic sine
// sweep at 8192 samples per second, one EDF+ signal, with 33 annotations (the start, the
// sweep frequency every 10 seconds, the final frequency and the end).
#include "recording/edf.h"
#include "trim_trailing_zeros.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int samples_per_record = 8192;
constexpr int record_count = 300;

// The start of the recording: the moment that SOURCE_DATE_EPOCH gives (seconds since
// 1970-01-01 00:00:00 UTC, the convention of reproducible builds), in UTC, so that two runs
// anywhere write the same bytes; without it the writer takes the local time of the run.
// Returns false for a value that is no such number.
bool set_reproducible_start(int handle) {
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') {
        return true;
    }
    char *end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 0) {
        return false;
    }
    const std::time_t when = static_cast<std::time_t>(seconds);
    const std::tm *utc = std::gmtime(&when);
    return utc != nullptr &&
           edf_set_startdatetime(handle, utc->tm_year + 1900, utc->tm_mon + 1, utc->tm_mday,
                                 utc->tm_hour, utc->tm_min, utc->tm_sec) == 0;
}

} // namespace

int main() {
    char text[256];
    static double samples[samples_per_record];

    const int handle = edfopen_file_writeonly("freq_sweep.edf", EDF_FILETYPE_EDFPLUS, 1);
    if (handle < 0) {
        std::puts("error: edfopen_file_writeonly()");
        return 1;
    }
    if (edf_set_samplefrequency(handle, 0, samples_per_record) != 0) {
        std::puts("error: edf_set_samplefrequency()");
        return 1;
    }
    if (edf_set_digital_maximum(handle, 0, 32767) != 0) {
        std::puts("error: edf_set_digital_maximum()");
        return 1;
    }
    if (edf_set_digital_minimum(handle, 0, -32768) != 0) {
        std::puts("error: edf_set_digital_minimum()");
        return 1;
    }
    if (edf_set_physical_maximum(handle, 0, 400.0) != 0) {
        std::puts("error: edf_set_physical_maximum()");
        return 1;
    }
    if (edf_set_physical_minimum(handle, 0, -400.0) != 0) {
        std::puts("error: edf_set_physical_minimum()");
        return 1;
    }
    if (edf_set_physical_dimension(handle, 0, "uV") != 0) {
        std::puts("error: edf_set_physical_dimension()");
        return 1;
    }
    if (edf_set_label(handle, 0, "sweep") != 0) {
        std::puts("error: edf_set_label()");
        return 1;
    }
    if (!set_reproducible_start(handle)) {
        std::puts("error: SOURCE_DATE_EPOCH is not a start that EDF can hold");
        return 1;
    }
    if (edf_set_equipment(handle, "Software generated file") != 0) {
        std::puts("edf_set_equipment()");
        return 1;
    }

    std::snprintf(text, sizeof text, "Logarithmic frequency sweep from %fHz to %fHz", 10.0, 4095.0);
    trim_trailing_zeros(text);
    edf_set_patientname(handle, text);

    edfwrite_annotation_latin1_us(handle, 0LL, -1LL, "Recording starts");

    // The logarithm of the frequency rises linearly with the sample index d:
    // f(d) = 4095^(10/4095 + d/2457600 * (1 - 10/4095)), from about 1.02 Hz to 4095 Hz.
    // The expressions keep exactly this form and these constants so that the samples are
    // reproducible to the last bit for a given sin and pow.
    double phase = 0.0;
    double frequency = 1.020519089405171;
    for (int i = 0; i < record_count; i++) {
        for (int j = 0; j < samples_per_record; j++) {
            const long long d = static_cast<long long>(samples_per_record) * i + j;
            phase += 6.283185307179586 / (8192.0 / frequency);
            samples[j] = std::sin(phase) * 200.0;
            frequency = std::pow(10.0, ((double)d + 6016.156670746634) / 2463616.1566707464 *
                                           3.6122539060964374);
        }
        if (edfwrite_physical_samples(handle, samples) != 0) {
            std::puts("error: edfwrite_physical_samples()");
            return 1;
        }
        if (i % 10 == 0) {
            std::snprintf(text, sizeof text, "%fHz", frequency);
            trim_trailing_zeros(text);
            edfwrite_annotation_latin1_us(handle, i * 1000000LL, -1LL, text);
        }
    }

    std::snprintf(text, sizeof text, "%fHz", frequency);
    trim_trailing_zeros(text);
    edfwrite_annotation_latin1_us(handle, 300000000LL, -1LL, text);
    edfwrite_annotation_latin1_us(handle, 300000000LL, -1LL, "Recording ends");

    // A file that could not be finished (full disk, failed seek) must not pass as written.
    if (edfclose_file(handle) != 0) {
        std::puts("error: edfclose_file()");
        return 1;
    }
    return 0;
}
