// The JSON report. Times are exact decimal seconds made from the tick counts, numbers are
// written by std::to_chars (never through the locale), and a value that is not a finite
// number, such as the sample rate of a file whose records last zero seconds, is null.
#include "json_report.h"

#include "header_fields.h"
#include "json_string.h"
#include "number_text.h"
#include "open_recording.h"
#include "segment_report.h"
#include "problem_report.h"
#include "utf8_text.h"

#include <cmath>

namespace {

std::string json_number(double value) {
    return std::isfinite(value) ? double_text(value) : "null";
}

void write_signals(std::FILE *out, const edf_header_info &header) {
    std::fprintf(out, "  \"signals\": [");
    for (int n = 0; n < header.ordinary_signal_count; n++) {
        const edf_signal_info &signal = header.signals[n];
        const double rate = sample_rate(header, n);
        std::fprintf(
            out,
            "%s\n    {\"index\": %d, \"label\": %s, \"dimension\": %s, \"physical_min\": %s, "
            "\"physical_max\": %s, \"digital_min\": %d, \"digital_max\": %d, "
            "\"samples_per_record\": %d, \"sample_rate\": %s, \"samples\": %lld, "
            "\"prefilter\": %s, \"transducer\": %s}",
            n == 0 ? "" : ",", n, json_quoted(without_trailing_spaces(signal.label)).c_str(),
            json_quoted(without_trailing_spaces(signal.physical_dimension)).c_str(),
            json_number(signal.physical_min).c_str(), json_number(signal.physical_max).c_str(),
            static_cast<int>(signal.digital_min), static_cast<int>(signal.digital_max),
            static_cast<int>(signal.samples_per_record),
            rate > 0.0 ? json_number(rate).c_str() : "null",
            static_cast<long long>(signal.samples_in_file),
            json_quoted(without_trailing_spaces(signal.prefilter)).c_str(),
            json_quoted(without_trailing_spaces(signal.transducer)).c_str());
    }
    std::fprintf(out, "%s],\n", header.ordinary_signal_count > 0 ? "\n  " : "");
}

bool write_annotations(std::FILE *out, const edf_header_info &header, bool more) {
    std::fprintf(out, "  \"annotations\": [");
    edf_annotation annotation;
    for (int64_t n = 0; n < header.annotation_count; n++) {
        if (edf_get_annotation(header.handle, static_cast<int>(n), &annotation) != 0) {
            return false;
        }
        const std::string duration = annotation.duration == -EDF_TIME_DIMENSION
                                         ? "null"
                                         : ticks_to_seconds_text(annotation.duration);
        std::fprintf(out, "%s\n    {\"onset\": %s, \"duration\": %s, \"text\": %s}",
                     n == 0 ? "" : ",", ticks_to_seconds_text(annotation.onset).c_str(),
                     duration.c_str(), json_quoted(annotation.annotation).c_str());
    }
    std::fprintf(out, "%s]%s\n", header.annotation_count > 0 ? "\n  " : "", more ? "," : "");
    return true;
}

} // namespace

bool write_json_report(std::FILE *out, const std::string &path, const edf_header_info &header,
                       const std::vector<edf_problem> &problems) {
    std::fprintf(out, "{\n");
    std::fprintf(out, "  \"file\": %s,\n", json_quoted(path).c_str());
    std::fprintf(out, "  \"type\": \"%s\",\n", file_type_name(header.filetype));
    std::fprintf(out, "  \"start\": \"%s\",\n", start_text(header, 'T').c_str());
    std::fprintf(out, "  \"duration\": %s,\n", ticks_to_seconds_text(header.file_duration).c_str());
    std::fprintf(out, "  \"datarecord_duration\": %s,\n",
                 ticks_to_seconds_text(header.datarecord_duration).c_str());
    std::fprintf(out, "  \"datarecord_count\": %lld,\n",
                 static_cast<long long>(header.datarecord_count));
    std::fprintf(out, "  \"identification\": {");
    bool first = true;
    for (const named_field &field : identification_fields(header)) {
        std::fprintf(out, "%s\n    \"%s\": %s", first ? "" : ",", field.key,
                     json_quoted(field.value).c_str());
        first = false;
    }
    std::fprintf(out, "\n  },\n");
    write_signals(out, header);
    write_segments_json(out, header);
    if (!write_annotations(out, header, !problems.empty())) {
        return false;
    }
    if (!problems.empty()) {
        std::fprintf(out, "  \"problems\": %s\n", problems_json(problems, "  ").c_str());
    }
    return std::fprintf(out, "}\n") > 0;
}
