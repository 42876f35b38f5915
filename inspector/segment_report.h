// The time axis of a recording as segments (runs of data records that follow each other) and
// the gaps between them, for the reports, the sample times and the plot. A continuous file
// has one segment and no gap; an EDF+D/BDF+D file may have more.
#pragma once

#include "recording/edf.h"

#include <cstdint>
#include <cstdio>
#include <vector>

// The file's segments in order (at least one).
std::vector<edf_segment> segments_of(const edf_header_info &header);

// End of a segment in ticks.
int64_t segment_end(const edf_header_info &header, const edf_segment &segment);

// The text report's lines: the segments and the gaps, printed only when the file has gaps.
void write_segments_text(std::FILE *out, const edf_header_info &header);

// The JSON report's members "segments" and "gaps" (each line starting with two spaces and
// ending in ",\n").
void write_segments_json(std::FILE *out, const edf_header_info &header);

// The number of the segment that holds record `record`.
std::size_t segment_of_record(const std::vector<edf_segment> &segments, int64_t record);

// Grey bands over the gaps that fall into the time window [from, to] of a plot whose time
// axis runs from x to x + width pixels; nothing for a file without gaps.
void write_gap_bands(std::FILE *out, const edf_header_info &header,
                     const std::vector<edf_segment> &segments, double from, double to, double x,
                     double width, int top, int height);
