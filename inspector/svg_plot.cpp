// The SVG picture. Layout from top to bottom: the title, a band for the annotation labels
// (written upwards, so that close marks do not overlap), the plot area with its frame, grid
// and trace, and the time axis. The value axis is at the left. The samples are streamed
// through a column_envelope first, because the value axis needs the window's range before
// anything can be drawn; the picture file is created only after all samples have been read.
#include "svg_plot.h"

#include "column_envelope.h"
#include "native_path.h"
#include "number_text.h"
#include "segment_report.h"
#include "utf8_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace {

constexpr int margin_left = 90;
constexpr int margin_right = 30;
constexpr int title_height = 34;
constexpr int label_band_height = 190;
constexpr int plot_top = title_height + label_band_height;
constexpr int plot_bottom = plot_top + plot_height;
constexpr int margin_bottom = 60;
constexpr int svg_width = margin_left + plot_width + margin_right;
constexpr int svg_height = plot_bottom + margin_bottom;

constexpr int chunk_samples = 4096;
// Code points of an annotation label in the band; the whole texts are in the mark's tooltip.
constexpr std::size_t label_code_points = 30;
// Bytes of texts kept per mark: many annotations may fall onto one pixel.
constexpr std::size_t mark_text_bytes = 600;

struct axis_ticks {
    double first_multiple = 0.0; // the first tick is first_multiple × step
    double step = 1.0;
    int count = 0;
    int decimals = 0;
};

// About target ticks at round values (1, 2 or 5 times a power of ten) between low and high.
axis_ticks nice_ticks(double low, double high, int target) {
    axis_ticks ticks;
    const double span = high - low;
    if (!std::isfinite(span) || !(span > 0.0)) {
        return ticks;
    }
    const double raw_step = span / target;
    const double power = std::pow(10.0, std::floor(std::log10(raw_step)));
    // A span so small that its step is no normal number (or none at all) gets no ticks:
    // every quantity below must stay finite.
    if (!(power >= std::numeric_limits<double>::min()) || !std::isfinite(10.0 * power)) {
        return ticks;
    }
    ticks.step = 10.0 * power;
    for (const double multiple : {1.0, 2.0, 5.0}) {
        if (multiple * power >= raw_step) {
            ticks.step = multiple * power;
            break;
        }
    }
    ticks.first_multiple = std::ceil(low / ticks.step - 1e-9);
    const double last_multiple = std::floor(high / ticks.step + 1e-9);
    if (!std::isfinite(ticks.first_multiple) || !std::isfinite(last_multiple)) {
        return axis_ticks{};
    }
    if (last_multiple >= ticks.first_multiple) {
        ticks.count = static_cast<int>(std::min(last_multiple - ticks.first_multiple + 1.0, 50.0));
    }
    // Clamped as a double, before the conversion, so that no value is out of int's range.
    ticks.decimals =
        static_cast<int>(std::clamp(-std::floor(std::log10(ticks.step) + 1e-9), 0.0, 15.0));
    return ticks;
}

// The time span over which the window is drawn: its own, or one tick when it is shorter.
double drawn_span(const sample_window &window) {
    return std::max(window.to_seconds - window.from_seconds, shortest_plot_seconds);
}

double tick_value(const axis_ticks &ticks, int i) {
    return (ticks.first_multiple + i) * ticks.step;
}

std::string px(double value) {
    return fixed_text(value, 2);
}

// The annotations that fall onto one pixel column of the plot.
struct annotation_mark {
    std::string label;   // texts joined by " / "
    std::string tooltip; // "onset s: text" lines
};

std::map<int, annotation_mark> marks_in_window(const edf_header_info &header,
                                               const sample_window &window) {
    std::map<int, annotation_mark> marks;
    const double span = drawn_span(window);
    edf_annotation annotation;
    for (int64_t n = 0; n < header.annotation_count; n++) {
        if (edf_get_annotation(header.handle, static_cast<int>(n), &annotation) != 0) {
            break;
        }
        const double onset = static_cast<double>(annotation.onset) / EDF_TIME_DIMENSION;
        if (onset < window.from_seconds || onset > window.to_seconds) {
            continue;
        }
        const int column =
            static_cast<int>(std::lround((onset - window.from_seconds) / span * plot_width));
        annotation_mark &mark = marks[column];
        if (mark.label.size() < mark_text_bytes) {
            mark.label.append(mark.label.empty() ? "" : " / ").append(annotation.annotation);
        }
        if (mark.tooltip.size() < mark_text_bytes) {
            mark.tooltip.append(mark.tooltip.empty() ? "" : "\n")
                .append(ticks_to_seconds_text(annotation.onset))
                .append(" s: ")
                .append(annotation.annotation);
        }
    }
    return marks;
}

void write_axes(std::FILE *out, const sample_window &window, double low, double high,
                const std::string &value_title) {
    std::fprintf(out, "<g class=\"grid\" stroke=\"#e4e4e4\" stroke-width=\"1\">\n");
    const double time_span = drawn_span(window);
    const axis_ticks time_ticks =
        nice_ticks(window.from_seconds, window.from_seconds + time_span, 10);
    for (int i = 0; i < time_ticks.count; i++) {
        const double x = margin_left +
                         (tick_value(time_ticks, i) - window.from_seconds) / time_span * plot_width;
        std::fprintf(out, "<line x1=\"%s\" y1=\"%d\" x2=\"%s\" y2=\"%d\"/>\n", px(x).c_str(),
                     plot_top, px(x).c_str(), plot_bottom);
    }
    const axis_ticks value_ticks = nice_ticks(low, high, 8);
    for (int i = 0; i < value_ticks.count; i++) {
        const double y =
            plot_top + (high - tick_value(value_ticks, i)) / (high - low) * plot_height;
        std::fprintf(out, "<line x1=\"%d\" y1=\"%s\" x2=\"%d\" y2=\"%s\"/>\n", margin_left,
                     px(y).c_str(), margin_left + plot_width, px(y).c_str());
    }
    std::fprintf(out, "</g>\n");

    std::fprintf(out,
                 "<rect class=\"frame\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                 "fill=\"none\" stroke=\"#444\" stroke-width=\"1\"/>\n",
                 margin_left, plot_top, plot_width, plot_height);

    std::fprintf(out, "<g class=\"time-axis\" font-size=\"12\" text-anchor=\"middle\" "
                      "fill=\"#222\">\n");
    for (int i = 0; i < time_ticks.count; i++) {
        const double value = tick_value(time_ticks, i);
        const double x = margin_left + (value - window.from_seconds) / time_span * plot_width;
        std::fprintf(out, "<line x1=\"%s\" y1=\"%d\" x2=\"%s\" y2=\"%d\" stroke=\"#444\"/>\n",
                     px(x).c_str(), plot_bottom, px(x).c_str(), plot_bottom + 5);
        std::fprintf(out, "<text x=\"%s\" y=\"%d\">%s</text>\n", px(x).c_str(), plot_bottom + 19,
                     fixed_text(value, time_ticks.decimals).c_str());
    }
    std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-size=\"13\">time (s)</text>\n",
                 margin_left + plot_width / 2, plot_bottom + 44);
    std::fprintf(out, "</g>\n");

    std::fprintf(out, "<g class=\"value-axis\" font-size=\"12\" text-anchor=\"end\" "
                      "fill=\"#222\">\n");
    for (int i = 0; i < value_ticks.count; i++) {
        const double value = tick_value(value_ticks, i);
        const double y = plot_top + (high - value) / (high - low) * plot_height;
        std::fprintf(out, "<line x1=\"%d\" y1=\"%s\" x2=\"%d\" y2=\"%s\" stroke=\"#444\"/>\n",
                     margin_left - 5, px(y).c_str(), margin_left, px(y).c_str());
        std::fprintf(out, "<text x=\"%d\" y=\"%s\">%s</text>\n", margin_left - 8, px(y + 4).c_str(),
                     fixed_text(value, value_ticks.decimals).c_str());
    }
    std::fprintf(out,
                 "<text transform=\"translate(%d %d) rotate(-90)\" text-anchor=\"middle\" "
                 "font-size=\"13\">%s</text>\n",
                 22, plot_top + plot_height / 2, xml_text(value_title).c_str());
    std::fprintf(out, "</g>\n");
}

void write_marks(std::FILE *out, const std::map<int, annotation_mark> &marks) {
    std::fprintf(out, "<g class=\"annotations\" font-size=\"11\" fill=\"#8a3b12\">\n");
    for (const auto &[column, mark] : marks) {
        const std::string x = px(margin_left + column);
        std::fprintf(out, "<g class=\"annotation\"><title>%s</title>\n",
                     xml_text(shortened_text(mark.tooltip, mark_text_bytes)).c_str());
        std::fprintf(out,
                     "<line x1=\"%s\" y1=\"%d\" x2=\"%s\" y2=\"%d\" stroke=\"#d2691e\" "
                     "stroke-width=\"1\" stroke-dasharray=\"4 3\"/>\n",
                     x.c_str(), plot_top - 4, x.c_str(), plot_bottom);
        std::fprintf(out, "<text transform=\"translate(%s %d) rotate(-90)\">%s</text>\n",
                     px(margin_left + column + 4).c_str(), plot_top - 8,
                     xml_text(shortened_text(mark.label, label_code_points)).c_str());
        std::fprintf(out, "</g>\n");
    }
    std::fprintf(out, "</g>\n");
}

// The segment that the time at the left edge of a pixel column falls in (or the next one,
// for a time inside a gap).
std::size_t segment_at_column(const edf_header_info &header,
                              const std::vector<edf_segment> &segments, const sample_window &window,
                              int column) {
    const double t =
        window.from_seconds + (window.to_seconds - window.from_seconds) * column / plot_width;
    for (std::size_t n = 0; n < segments.size(); n++) {
        if (t < static_cast<double>(segment_end(header, segments[n])) / EDF_TIME_DIMENSION) {
            return n;
        }
    }
    return segments.size() - 1;
}

// The pixel column of a time in the window, for the envelope of a file with gaps.
int64_t column_of_time(const sample_window &window, double t) {
    const double span = window.to_seconds - window.from_seconds;
    const double column =
        span > 0.0 ? std::floor((t - window.from_seconds) / span * plot_width) : 0;
    return static_cast<int64_t>(std::clamp(column, 0.0, static_cast<double>(plot_width - 1)));
}

void write_trace(std::FILE *out, const column_envelope &envelope, const edf_header_info &header,
                 int signal, const sample_window &window, double low, double high,
                 const std::vector<edf_segment> &segments) {
    const auto y_of = [&](double value) {
        return px(plot_top + (high - value) / (high - low) * plot_height);
    };
    const double time_span = drawn_span(window);
    std::fprintf(out, "<polyline class=\"trace\" fill=\"none\" stroke=\"#1f4e9a\" "
                      "stroke-width=\"1\" stroke-linejoin=\"round\" points=\"");
    bool first = true;
    // A file with gaps: the trace is drawn segment by segment, one polyline each, with the
    // columns placed by time.
    const bool gapped = segments.size() > 1;
    const int64_t per_record = header.signals[signal].samples_per_record;
    std::size_t drawn_segment = 0;
    for (int slot = 0; slot < envelope.slot_count(); slot++) {
        if (!envelope.has_value(slot)) {
            continue;
        }
        if (gapped) {
            const std::size_t segment =
                envelope.per_sample()
                    ? segment_of_record(segments, (window.first + slot) / per_record)
                    : segment_at_column(header, segments, window, slot);
            if (!first && segment != drawn_segment) {
                std::fprintf(out, "\"/>\n<polyline class=\"trace\" fill=\"none\" "
                                  "stroke=\"#1f4e9a\" stroke-width=\"1\" "
                                  "stroke-linejoin=\"round\" points=\"");
                first = true;
            }
            drawn_segment = segment;
        }
        if (envelope.per_sample()) {
            const double t = sample_time(header, signal, window.first + slot);
            const double x = margin_left + (t - window.from_seconds) / time_span * plot_width;
            std::fprintf(out, "%s%s,%s", first ? "" : " ", px(x).c_str(),
                         y_of(envelope.maximum(slot)).c_str());
        } else {
            const std::string x = px(margin_left + slot + 0.5);
            std::fprintf(out, "%s%s,%s %s,%s", first ? "" : " ", x.c_str(),
                         y_of(envelope.maximum(slot)).c_str(), x.c_str(),
                         y_of(envelope.minimum(slot)).c_str());
        }
        first = false;
    }
    std::fprintf(out, "\"/>\n");
}

} // namespace

plot_result write_svg_plot(const std::string &svg_path, const std::string &recording_path,
                           const edf_header_info &header, int signal, const sample_window &window) {
    column_envelope envelope(window.count, plot_width);
    const std::vector<edf_segment> segments = segments_of(header);
    const bool gapped = segments.size() > 1;
    if (window.count > 0) {
        if (edfseek(header.handle, signal, window.first, EDFSEEK_SET) != window.first) {
            return plot_result::read_failed;
        }
        std::array<double, chunk_samples> values;
        for (int64_t done = 0; done < window.count;) {
            const int wanted =
                static_cast<int>(std::min<int64_t>(chunk_samples, window.count - done));
            if (edfread_physical_samples(header.handle, signal, wanted, values.data()) != wanted) {
                return plot_result::read_failed;
            }
            for (int i = 0; i < wanted; i++) {
                if (gapped) {
                    const double t = sample_time(header, signal, window.first + done + i);
                    if (std::isnan(t)) {
                        continue; // a record of unknown time lies on no time axis
                    }
                    if (envelope.per_sample()) {
                        envelope.add(done + i, values[i]);
                        continue;
                    }
                    // Columns by time: the envelope's sample k lands in column
                    // floor(k × width / count), so the first k of the wanted column is taken.
                    const int64_t column = column_of_time(window, t);
                    envelope.add((column * window.count + plot_width - 1) / plot_width, values[i]);
                } else {
                    envelope.add(done + i, values[i]);
                }
            }
            done += wanted;
        }
    }

    // The value axis spans the window's values with a little room above and below; without
    // values it spans the signal's physical range.
    const edf_signal_info &info = header.signals[signal];
    double low = envelope.lowest();
    double high = envelope.highest();
    if (low > high) {
        low = std::min(info.physical_min, info.physical_max);
        high = std::max(info.physical_min, info.physical_max);
    }
    const double room =
        high > low ? (high - low) * 0.05 : (low != 0.0 ? std::fabs(low) * 0.1 : 1.0);
    low -= room;
    high += room;

    const std::string label = without_trailing_spaces(info.label);
    const std::string dimension = without_trailing_spaces(info.physical_dimension);
    const std::string value_title = dimension.empty() ? label : label + " (" + dimension + ")";
    const std::string title = value_title + ", " + double_text(window.from_seconds) + " s to " +
                              double_text(window.to_seconds) + " s, " + recording_path;
    const std::string description =
        "signal " + std::to_string(signal) + " of " + recording_path + ": " +
        std::to_string(window.count) + " samples from " + double_text(window.from_seconds) +
        " s to " + double_text(window.to_seconds) + " s, " +
        (envelope.per_sample() ? "drawn as one point per sample"
                               : "drawn as the minimum and maximum of each of " +
                                     std::to_string(plot_width) + " pixel columns");
    const std::map<int, annotation_mark> marks = marks_in_window(header, window);

    std::FILE *out = open_c_file(svg_path, "wb");
    if (out == nullptr) {
        return plot_result::write_failed;
    }
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    std::fprintf(out,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                 "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\">\n",
                 svg_width, svg_height, svg_width, svg_height);
    std::fprintf(out, "<desc>%s</desc>\n", xml_text(description).c_str());
    std::fprintf(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n");
    std::fprintf(out, "<text class=\"title\" x=\"%d\" y=\"22\" font-size=\"15\">%s</text>\n",
                 margin_left, xml_text(title).c_str());
    write_gap_bands(out, header, segments, window.from_seconds, window.to_seconds, margin_left,
                    plot_width, plot_top, plot_height);
    write_axes(out, window, low, high, value_title);
    if (window.count > 0) {
        write_trace(out, envelope, header, signal, window, low, high, segments);
    } else {
        std::fprintf(out,
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" font-size=\"14\" "
                     "fill=\"#666\">no samples in this window</text>\n",
                     margin_left + plot_width / 2, plot_top + plot_height / 2);
    }
    // The marks come after the trace, so that they stay visible over a dense envelope.
    write_marks(out, marks);
    std::fprintf(out, "</svg>\n");
    const bool failed = std::ferror(out) != 0;
    return (std::fclose(out) != 0 || failed) ? plot_result::write_failed : plot_result::ok;
}
