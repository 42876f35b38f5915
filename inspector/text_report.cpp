// The text report. Every text from the file goes through display_text, so that control bytes
// in it cannot act on the terminal. Columns are as wide as their widest entry.
#include "text_report.h"

#include "header_fields.h"
#include "number_text.h"
#include "open_recording.h"
#include "segment_report.h"
#include "problem_report.h"
#include "utf8_text.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr int title_width = 22;

// The number of code points, which is the width in a terminal for the texts shown here.
std::size_t text_width(const std::string &text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        next_code_point(text, i);
        width++;
    }
    return width;
}

std::string padded(const std::string &text, std::size_t width, bool right_aligned) {
    const std::size_t current = text_width(text);
    if (current >= width) {
        return text;
    }
    const std::string padding(width - current, ' ');
    return right_aligned ? padding + text : text + padding;
}

void write_line(std::FILE *out, const char *title, const std::string &value) {
    const std::string heading = std::string(title) + ":";
    if (value.empty()) {
        std::fprintf(out, "%s\n", heading.c_str());
    } else {
        std::fprintf(out, "%s%s\n", padded(heading, title_width, false).c_str(), value.c_str());
    }
}

// Rows of cells; the last column is left unpadded so that lines carry no trailing spaces.
void write_table(std::FILE *out, const std::vector<std::vector<std::string>> &rows,
                 const std::vector<bool> &right_aligned) {
    std::vector<std::size_t> widths(right_aligned.size(), 0);
    for (const auto &row : rows) {
        for (std::size_t c = 0; c < row.size(); c++) {
            widths[c] = std::max(widths[c], text_width(row[c]));
        }
    }
    for (const auto &row : rows) {
        std::string line = " ";
        for (std::size_t c = 0; c < row.size(); c++) {
            const bool last = c + 1 == row.size();
            line += ' ';
            line +=
                last && !right_aligned[c] ? row[c] : padded(row[c], widths[c], right_aligned[c]);
            if (!last) {
                line += ' ';
            }
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

void write_signals(std::FILE *out, const edf_header_info &header) {
    write_line(out, "Signals", std::to_string(header.ordinary_signal_count));
    if (header.ordinary_signal_count <= 0) {
        return;
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "Label", "Dimension", "Physical min", "Physical max", "Digital min",
                    "Digital max", "Samples/record", "Rate (Hz)"});
    for (int n = 0; n < header.ordinary_signal_count; n++) {
        const edf_signal_info &signal = header.signals[n];
        const double rate = sample_rate(header, n);
        rows.push_back({std::to_string(n), display_text(without_trailing_spaces(signal.label)),
                        display_text(without_trailing_spaces(signal.physical_dimension)),
                        double_text(signal.physical_min), double_text(signal.physical_max),
                        std::to_string(signal.digital_min), std::to_string(signal.digital_max),
                        std::to_string(signal.samples_per_record),
                        rate > 0.0 ? double_text(rate) : "-"});
    }
    write_table(out, rows, {true, false, false, true, true, true, true, true, true});
}

bool write_annotations(std::FILE *out, const edf_header_info &header) {
    write_line(out, "Annotations", std::to_string(header.annotation_count));
    if (header.annotation_count <= 0) {
        return true;
    }
    // Two passes over the annotations, the first for the column widths, so that a file with
    // very many annotations needs no table in memory.
    edf_annotation annotation;
    const auto onset_of = [](const edf_annotation &a) { return ticks_to_seconds_text(a.onset); };
    const auto duration_of = [](const edf_annotation &a) {
        return a.duration == -EDF_TIME_DIMENSION ? std::string("-")
                                                 : ticks_to_seconds_text(a.duration);
    };
    std::size_t onset_width = text_width("Onset (s)");
    std::size_t duration_width = text_width("Duration (s)");
    for (int64_t n = 0; n < header.annotation_count; n++) {
        if (edf_get_annotation(header.handle, static_cast<int>(n), &annotation) != 0) {
            return false;
        }
        onset_width = std::max(onset_width, onset_of(annotation).size());
        duration_width = std::max(duration_width, duration_of(annotation).size());
    }
    std::fprintf(out, "  %s  %s  Text\n", padded("Onset (s)", onset_width, true).c_str(),
                 padded("Duration (s)", duration_width, true).c_str());
    for (int64_t n = 0; n < header.annotation_count; n++) {
        if (edf_get_annotation(header.handle, static_cast<int>(n), &annotation) != 0) {
            return false;
        }
        std::string line = "  " + padded(onset_of(annotation), onset_width, true) + "  " +
                           padded(duration_of(annotation), duration_width, true);
        const std::string text = display_text(annotation.annotation);
        if (!text.empty()) {
            line += "  " + text;
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    return true;
}

} // namespace

bool write_text_report(std::FILE *out, const std::string &path, const edf_header_info &header,
                       const std::vector<edf_problem> &problems) {
    write_line(out, "File", display_text(path));
    write_line(out, "Type", file_type_name(header.filetype));
    write_line(out, "Start", start_text(header, ' '));
    write_line(out, "Duration", ticks_to_seconds_text(header.file_duration) + " s");
    write_line(out, "Data records",
               std::to_string(header.datarecord_count) + " of " +
                   ticks_to_seconds_text(header.datarecord_duration) + " s");
    for (const named_field &field : identification_fields(header)) {
        write_line(out, field.title, display_text(field.value));
    }
    std::fputc('\n', out);
    write_signals(out, header);
    std::fputc('\n', out);
    write_segments_text(out, header);
    if (!write_annotations(out, header)) {
        return false;
    }
    if (!problems.empty()) {
        std::fputc('\n', out);
        write_line(out, "Problems", std::to_string(problems.size()) + ", read past as described");
        write_problem_lines(out, problems, "  ");
    }
    return true;
}
