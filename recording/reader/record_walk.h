// The walk over record runs that every sample read makes. In each data record a signal's
// samples form one run (samples_per_record samples of 2 bytes in EDF, 3 in BDF, least
// significant byte first, at the signal's buffer_offset). A read names the signals it wants
// and a range of records, possibly starting and ending inside a record; the walk visits the
// runs in file order, reads them with as few positioned reads as the buffer allows (runs
// separated by little else are read together, the others one by one) and decodes each run
// into its signal's output. A per-signal read is the walk of one signal from a position; a
// record read is the walk of several signals over whole records.
#pragma once

#include "recording/core/recording.h"

#include <cstdint>

// What a walk stores for each sample: the clamped digital value, the physical value, or the
// sample's bytes as they stand in the file (for the read-ahead window).
enum class edf_sample_kind { digital, physical, raw };

// One signal's part of a walk.
struct edf_run_target {
    const edf_signal_param *signal;
    edf_sample_kind kind;
    void *out;            // int[], double[] or bytes, with room for every sample of the walk
    int64_t first_within; // first sample taken from the walk's first record
    int64_t last_end;     // one past the last sample taken from the walk's last record
    int64_t done;         // samples stored so far
};

// Walks records first_record to end_record - 1 (at least one) for the `count` targets. The
// buffer holds `buffer_bytes` bytes (at least 3). Returns true when every sample was stored;
// false when the file ended early: each target's `done` then counts the samples stored, in
// order, before the first one that was missing.
bool edf_walk_records(const edf_reader_state *r, int64_t first_record, int64_t end_record,
                      edf_run_target *targets, int count, unsigned char *buffer,
                      int64_t buffer_bytes);

// Decodes `count` samples of `bytes_per_sample` bytes into the target's output at `done`,
// and advances `done`.
void edf_convert_samples(edf_run_target &target, int bytes_per_sample, const unsigned char *in,
                         int64_t count);

// The handle's buffer of large reads, allocated on first use; null when it cannot be had.
unsigned char *edf_large_read_buffer(edf_reader_state *r);

// The signal record of ordinary signal `signal` of a read handle, or null.
edf_signal_param *edf_reader_signal(int handle, int signal, edf_reader_state **recording);
