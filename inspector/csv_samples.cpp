// Streaming CSV output: seek once to the window's first sample, then read chunk after chunk.
// Numbers are the shortest texts that read back as the same doubles.
#include "csv_samples.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace {

constexpr int chunk_samples = 4096;

char *append_double(char *first, char *last, double value) {
    return std::to_chars(first, last, value).ptr;
}

} // namespace

bool write_samples_csv(std::FILE *out, const edf_header_info &header, int signal,
                       const sample_window &window) {
    std::fputs("time,value\n", out);
    if (window.count <= 0) {
        return true;
    }
    if (edfseek(header.handle, signal, window.first, EDFSEEK_SET) != window.first) {
        return false;
    }
    std::array<double, chunk_samples> values;
    int64_t index = window.first;
    const int64_t end = window.first + window.count;
    while (index < end) {
        const int wanted = static_cast<int>(std::min<int64_t>(chunk_samples, end - index));
        const int got = edfread_physical_samples(header.handle, signal, wanted, values.data());
        if (got != wanted) {
            return false;
        }
        for (int i = 0; i < got; i++) {
            const double t = sample_time(header, signal, index + i);
            if (std::isnan(t)) {
                continue; // a record of unknown time lies on no time axis
            }
            // Two shortest doubles take at most 2 × 24 characters, plus ',' and '\n'.
            char line[64];
            char *end_of_line = append_double(line, line + sizeof line - 2, t);
            *end_of_line++ = ',';
            end_of_line = append_double(end_of_line, line + sizeof line - 1, values[i]);
            *end_of_line++ = '\n';
            std::fwrite(line, 1, static_cast<std::size_t>(end_of_line - line), out);
        }
        index += got;
    }
    return true;
}
