// The annotation block of a data record: the annotation signals, 120 bytes each, side by side.
// Annotation signal 0 opens with the record's time-keeping TAL ("+<seconds>[.<7 digits>]",
// 0x14, 0x14, 0x00); an annotation TAL ("+<onset>[0x15<duration>]", 0x14, text, 0x14) may
// follow it, and every other annotation signal holds at most one annotation TAL. The rest of
// every signal is zero bytes, so each one ends in 0x00.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>
#include <cstdio>

// Largest block: 64 annotation signals of 120 bytes.
inline constexpr int EDF_MAX_ANNOTATION_BLOCK = 64 * 120;

// The annotation signals stand before ordinary signal number edf_annotation_insert_index()
// (signal_count: after all of them), in the header's signal list and in every data record.
int edf_annotation_insert_index(const edf_recording *recording);

// Bytes of the ordinary signals that precede the annotation block in a data record.
int64_t edf_annotation_block_offset(const edf_recording *recording);

// Writes "+<seconds>[.<7 digits>]" 0x14 0x14 0x00 for record `record` to `out` (at most 24
// bytes) and returns its length.
int edf_format_timekeeping_tal(const edf_recording *recording, int64_t record, char *out);

// Writes one annotation TAL (onset and duration in microseconds; a negative duration is left
// out) to `out` (at most 84 bytes) and returns its length.
int edf_format_annotation_tal(int64_t onset_us, int64_t duration_us, const char *text, char *out);

// Writes the annotation block of the record being assembled (index datarecord_count) at the
// stream's position, in one write. Returns 0, or -1 if the write does not complete.
int edf_write_tal(const edf_recording *recording, FILE *stream);
