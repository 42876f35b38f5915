#include "segment_report.h"

#include "number_text.h"

#include <algorithm>
#include <string>

std::vector<edf_segment> segments_of(const edf_header_info &header) {
    std::vector<edf_segment> segments;
    const int count = edf_get_segment_count(header.handle);
    for (int n = 0; n < count; n++) {
        edf_segment segment{};
        if (edf_get_segment(header.handle, n, &segment) == 0) {
            segments.push_back(segment);
        }
    }
    if (segments.empty()) {
        segments.push_back({0, 0, header.datarecord_count});
    }
    return segments;
}

int64_t segment_end(const edf_header_info &header, const edf_segment &segment) {
    return segment.start + segment.record_count * header.datarecord_duration;
}

namespace {

std::string right(const std::string &text, std::size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

} // namespace

void write_segments_text(std::FILE *out, const edf_header_info &header) {
    const std::vector<edf_segment> segments = segments_of(header);
    if (segments.size() < 2) {
        return;
    }
    std::vector<std::vector<std::string>> rows{{"#", "Start (s)", "Duration (s)", "Records"}};
    for (std::size_t n = 0; n < segments.size(); n++) {
        const edf_segment &s = segments[n];
        rows.push_back({std::to_string(n), ticks_to_seconds_text(s.start),
                        ticks_to_seconds_text(segment_end(header, s) - s.start),
                        std::to_string(s.first_record) + " to " +
                            std::to_string(s.first_record + s.record_count - 1)});
    }
    std::vector<std::vector<std::string>> gaps{{"#", "Start (s)", "Duration (s)"}};
    for (std::size_t n = 1; n < segments.size(); n++) {
        const int64_t start = segment_end(header, segments[n - 1]);
        gaps.push_back({std::to_string(n - 1), ticks_to_seconds_text(start),
                        ticks_to_seconds_text(segments[n].start - start)});
    }
    for (const auto *table : {&rows, &gaps}) {
        std::fprintf(out, "%-22s%zu\n", table == &rows ? "Segments:" : "Gaps:", table->size() - 1);
        std::vector<std::size_t> widths(table->front().size(), 0);
        for (const auto &row : *table) {
            for (std::size_t c = 0; c < row.size(); c++) {
                widths[c] = std::max(widths[c], row[c].size());
            }
        }
        for (const auto &row : *table) {
            std::string line;
            for (std::size_t c = 0; c < row.size(); c++) {
                line += "  " + (c + 1 == row.size() ? row[c] : right(row[c], widths[c]));
            }
            std::fprintf(out, "%s\n", line.c_str());
        }
    }
    std::fputc('\n', out);
}

void write_segments_json(std::FILE *out, const edf_header_info &header) {
    const std::vector<edf_segment> segments = segments_of(header);
    std::fprintf(out, "  \"segments\": [");
    for (std::size_t n = 0; n < segments.size(); n++) {
        const edf_segment &s = segments[n];
        std::fprintf(out,
                     "%s\n    {\"start\": %s, \"duration\": %s, \"first_record\": %lld, "
                     "\"records\": %lld}",
                     n == 0 ? "" : ",", ticks_to_seconds_text(s.start).c_str(),
                     ticks_to_seconds_text(segment_end(header, s) - s.start).c_str(),
                     static_cast<long long>(s.first_record),
                     static_cast<long long>(s.record_count));
    }
    std::fprintf(out, "\n  ],\n  \"gaps\": [");
    for (std::size_t n = 1; n < segments.size(); n++) {
        const int64_t start = segment_end(header, segments[n - 1]);
        std::fprintf(out, "%s\n    {\"start\": %s, \"duration\": %s}", n == 1 ? "" : ",",
                     ticks_to_seconds_text(start).c_str(),
                     ticks_to_seconds_text(segments[n].start - start).c_str());
    }
    std::fprintf(out, "%s],\n", segments.size() > 1 ? "\n  " : "");
}

std::size_t segment_of_record(const std::vector<edf_segment> &segments, int64_t record) {
    const auto after =
        std::upper_bound(segments.begin(), segments.end(), record,
                         [](int64_t r, const edf_segment &s) { return r < s.first_record; });
    return after == segments.begin() ? 0 : static_cast<std::size_t>(after - segments.begin() - 1);
}

void write_gap_bands(std::FILE *out, const edf_header_info &header,
                     const std::vector<edf_segment> &segments, double from, double to, double x,
                     double width, int top, int height) {
    if (segments.size() < 2 || !(to > from)) {
        return;
    }
    std::fprintf(out, "<g class=\"gaps\" fill=\"#ececec\">\n");
    for (std::size_t n = 1; n < segments.size(); n++) {
        const double start =
            static_cast<double>(segment_end(header, segments[n - 1])) / EDF_TIME_DIMENSION;
        const double end = static_cast<double>(segments[n].start) / EDF_TIME_DIMENSION;
        const double left = std::max(start, from);
        const double right_end = std::min(end, to);
        if (!(right_end > left)) {
            continue;
        }
        const double x0 = x + (left - from) / (to - from) * width;
        const double x1 = x + (right_end - from) / (to - from) * width;
        std::fprintf(out,
                     "<rect class=\"gap\" x=\"%s\" y=\"%d\" width=\"%s\" height=\"%d\"><title>gap "
                     "of %s s</title></rect>\n",
                     fixed_text(x0, 2).c_str(), top, fixed_text(std::max(x1 - x0, 1.0), 2).c_str(),
                     height,
                     ticks_to_seconds_text(segments[n].start - segment_end(header, segments[n - 1]))
                         .c_str());
    }
    std::fprintf(out, "</g>\n");
}
