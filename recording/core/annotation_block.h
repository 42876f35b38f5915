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
int edf_annotation_insert_index(const edf_writer_state *recording);

// Bytes of the ordinary signals that precede the annotation block in a data record.
int64_t edf_annotation_block_offset(const edf_writer_state *recording);

// Writes the time-keeping TAL of record `record` ("+<seconds>[.<7 digits>]" 0x14 0x14 0x00)
// to `out` (at most 24 bytes) and returns its length.
int edf_format_timekeeping_tal(const edf_writer_state *recording, int64_t record, char *out);

// The onset of a queued annotation in ticks from the whole second of the header's start time:
// the sub-second start is added, because the queued onset counts from the true start.
int64_t edf_annotation_onset_ticks(const edf_writer_state *recording,
                                   const edf_queued_annotation *annotation);

// Writes the TAL of a queued annotation and the zero byte that ends it to `out` (at most 84
// bytes; see edf::tal::writer_tal) and returns its length.
int edf_format_annotation_tal(const edf_writer_state *recording,
                              const edf_queued_annotation *annotation, char *out);

// Builds annotation signal `k` of record `record` in `out` (120 bytes): the time-keeping TAL
// when k is 0, then `annotation`'s TAL (none when null), each TAL followed by one 0x00, then
// zero bytes. Returns the bytes in use, so that more TALs can follow them.
int edf_format_annotation_signal(const edf_writer_state *recording, int64_t record, int k,
                                 const edf_queued_annotation *annotation, char *out);

// Writes the annotation block of the record being assembled (index datarecord_count) at the
// stream's position, in one write, with the queued annotations whose places lie in it
// (annotation i in record i / A, annotation signal i % A; `queue` holds annotation_count
// entries). Returns 0, or -1 if the write does not complete.
int edf_write_tal(const edf_writer_state *recording, FILE *stream,
                  const edf_queued_annotation *queue);
