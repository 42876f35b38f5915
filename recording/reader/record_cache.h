// The handle's cache of whole data records, shared by the per-signal reads of its signals. A
// viewer draws a screen by reading a few seconds of each signal in turn: the first of those
// reads brings the screen's records into the cache with one positioned read, and the other
// signals' reads take their samples from there instead of making one system call per signal
// per record. The cache holds the bytes of consecutive records as they were when read
// (at most a few hundred kB); it is allocated on first use and freed with the handle.
#pragma once

#include "recording/core/recording.h"
#include "recording/reader/record_walk.h"

#include <cstdint>

// The cache's bytes: ten seconds of 64 signals at 256 Hz in 16-bit samples, and more. Reads
// of more bytes of records than this go to the file.
inline constexpr int64_t edf_record_cache_bytes = 512 * 1024;

struct edf_record_cache {
    int64_t first_record; // the first record held
    int64_t record_count; // whole records held from there, 0 when empty
    int64_t capacity;     // records that the bytes have room for, at least 1
    // The signal of the last per-signal read that asked the cache (null before the first):
    // a read of another signal that the cache cannot serve fills it (many signals read over
    // the same records); a signal read on its own keeps its own read-ahead.
    const edf_signal_param *last_signal;
    unsigned char *bytes; // capacity x record_size bytes, in the same allocation as the record
};

// The handle's cache, allocated on first use; null when it cannot be had, or when one record
// is larger than the cache's budget (such files are read straight from the file).
edf_record_cache *edf_record_cache_of(edf_reader_state *r);

// Stores samples of the target's signal from records first_record to end_record - 1 (the
// target's first_within and last_end give the samples of the first and the last record),
// taken from the cache. When the cache does not hold those records and `fill` is true, they
// are read into it first (with records after them when the span is short); a fill that
// comes short (the file has been shortened) keeps the whole records that arrived. Returns
// false, storing nothing, when the records are not all held: the caller then reads from the
// file.
bool edf_read_cached(edf_reader_state *r, edf_record_cache *cache, int64_t first_record,
                     int64_t end_record, edf_run_target &target, bool fill);
