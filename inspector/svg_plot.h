// One signal's time window drawn as an SVG picture.
#pragma once

#include "open_recording.h"

#include <string>

// The plot area in pixels; the picture adds margins for the title, the annotation labels and
// the axes around it.
inline constexpr int plot_width = 1200;
inline constexpr int plot_height = 400;

// The shortest time window drawn: one tick (100 ns), the finest time that a recording
// holds. The command line refuses shorter windows; one that the file's end makes shorter
// (a window that starts at or beyond the end) is drawn over this span, so that every
// position and axis step stays finite.
inline constexpr double shortest_plot_seconds = 1e-7;

enum class plot_result { ok, read_failed, write_failed };

// Reads the window's samples in fixed-size chunks, reduces them to one point per sample or,
// when there are more samples than pixel columns, to a minimum/maximum pair per column, and
// writes the picture to svg_path: the trace, a time axis in seconds, a value axis in the
// signal's physical dimension, and the annotations of the window as labelled vertical marks.
plot_result write_svg_plot(const std::string &svg_path, const std::string &recording_path,
                           const edf_header_info &header, int signal, const sample_window &window);
