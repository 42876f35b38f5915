// Where the writer stores its queued annotations, and when.
//
// Queue entry i has one place of its own: record i / A, annotation signal i % A (A annotation
// signals per record). Each entry reaches the file as soon as its place exists: an entry
// queued for a record not yet written goes into that record's annotation block when the block
// is written; an entry queued for a record already complete is written into it at once. So a
// writer that dies loses no annotation whose record was complete. At close the entries that
// have no place of their own (more entries than A places per record) are packed after the
// TALs already in the annotation signals, wherever they fit.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

struct edf_annotation_place {
    int64_t record;
    int signal;
};

// The place of queue entry `index`; it is on disk once record < datarecord_count.
edf_annotation_place edf_annotation_place_of(const edf_writer_state *recording, int64_t index);

// The queued annotations of a writer's block (null while none was queued).
const edf_queued_annotation *edf_annotation_queue(const edf_writer_state *recording);

// To be called once the annotation block of the record being assembled has been written with
// the entries queued by then: they count as placed.
void edf_note_annotation_block(edf_writer_state *recording);

// Writes every entry whose place lies in a complete record and that is not there yet, then
// flushes (and syncs when asked). The next sample write seeks back to where its bytes belong.
// Returns 0, or -1 when a seek, write, flush or sync failed; entries from the failed one on
// stay pending.
int edf_place_pending_annotations(edf_writer_state *recording);

// Close, once the record count is final: writes the pending entries, then packs the entries
// without a place of their own after the TALs already in the annotation signals, in queue
// order, each into the earliest annotation signal that still has room for it (120 bytes per
// annotation signal, every TAL followed by one zero byte). Returns the number of queued
// entries that are not in the file (all the packed ones when the plan cannot be allocated);
// never throws.
int64_t edf_place_remaining_annotations(edf_writer_state *recording);

// fsync of the stream's file when edf_set_sync_interval asked for it. Returns 0 or -1.
int edf_sync_if_asked(edf_writer_state *recording);
