// Sample reading and positioning. Every ordinary signal of a file opened for reading has its
// own read position, in samples from the start of the recording. A read is the walk over
// record runs (record_walk.h) of one signal from its position.
//
// Reads of a few records are served from memory where they can be:
// - from the handle's record cache (record_cache.h), which holds whole records for all the
//   signals: filled when a read of another signal than the last one misses, as when a viewer
//   reads a few seconds of each signal in turn;
// - from the signal's own read-ahead window, for small reads (a streaming filter's few hundred
//   samples per call of one signal): a miss reads the samples of the next window's worth of
//   that signal alone in one walk.
// Large reads, and reads that neither can serve, go straight to the file through the handle's
// large buffer.
//
// What memory serves is the file as it was when read ahead, as with any buffered reader: no
// system call asks whether the file changed (a file shortened while open still gives the
// samples read ahead). A read that goes to the file sees it as it is: when the file no longer
// holds a sample that the read needs, the read gives -1.
#include "recording/core/checked_arithmetic.h"
#include "recording/core/recording.h"
#include "recording/reader/record_cache.h"
#include "recording/reader/record_walk.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace edf {

namespace {

// Bytes on the stack for a large read when the handle's buffer cannot be had.
constexpr int64_t fallback_buffer_bytes = 32768;
// The read-ahead window of one signal: about 1 MiB per handle, shared out among its
// ordinary signals, but at least 4 KiB and at most 64 KiB per signal.
constexpr int64_t window_total_bytes = 1 << 20;
constexpr int64_t window_min_bytes = 4096;
constexpr int64_t window_max_bytes = 65536;

int64_t signal_total(const edf_reader_state *r, const edf_signal_param *s) {
    return static_cast<int64_t>(s->samples_per_record) * r->datarecord_count;
}

int ordinary_signal_count(const edf_reader_state *r) {
    return r->signal_count - r->annotation_signal_count;
}

// Walks `n` samples of signal `s` from sample `p` into the target (whose `done` counts the
// samples stored). Returns false when the file ended early.
bool walk_signal(edf_reader_state *r, const edf_signal_param *s, int64_t p, int64_t n,
                 edf_run_target &target) {
    const int64_t spr = s->samples_per_record;
    target.first_within = p % spr;
    target.last_end = (p + n - 1) % spr + 1;
    unsigned char fallback[fallback_buffer_bytes];
    unsigned char *buffer = edf_large_read_buffer(r);
    const int64_t bytes = buffer != nullptr ? EDF_READ_BUFFER : fallback_buffer_bytes;
    return edf_walk_records(r, p / spr, (p + n - 1) / spr + 1, &target, 1,
                            buffer != nullptr ? buffer : fallback, bytes);
}

// Reads a window's worth of samples of `s` from p into its window. Returns the count of
// samples from p that the window holds, at most n: less than n only when the file ended early.
int64_t fill_window(edf_reader_state *r, edf_signal_param *s, int64_t p, int64_t n) {
    const int64_t left = signal_total(r, s) - p;
    const int64_t count = left < s->read_ahead_capacity ? left : s->read_ahead_capacity;
    edf_run_target target{s, edf_sample_kind::raw, s->read_ahead, 0, 0, 0};
    walk_signal(r, s, p, count, target);
    s->read_ahead_first = p;
    s->read_ahead_count = static_cast<int>(target.done);
    return target.done < n ? target.done : n;
}

// Allocates the window of `s` on its first small read. False when it cannot be had (the
// read then goes straight to the file), and for a source of callbacks: its block cache holds
// the bytes of all signals at once, where windows per signal would each ask for their own.
bool have_window(edf_reader_state *r, edf_signal_param *s, int bps) {
    if (r->source.is_callbacks()) {
        return false;
    }
    if (s->read_ahead != nullptr) {
        return true;
    }
    int64_t bytes = window_total_bytes / ordinary_signal_count(r);
    bytes = bytes < window_min_bytes ? window_min_bytes : bytes;
    bytes = bytes > window_max_bytes ? window_max_bytes : bytes;
    s->read_ahead = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(bytes)));
    if (s->read_ahead == nullptr) {
        return false;
    }
    s->read_ahead_capacity = static_cast<int>(bytes / bps);
    s->read_ahead_count = 0;
    return true;
}

// Reads n samples from the signal's position into the target. Returns the count read, or -1
// when the file ends before the last byte of a sample (the position then stays; the samples
// before the missing one are stored).
int read_samples(edf_reader_state *r, edf_signal_param *s, int n, edf_run_target &target) {
    const int64_t p = s->sample_position;
    const int64_t left = signal_total(r, s) - p;
    if (left < n) {
        n = static_cast<int>(left > 0 ? left : 0);
    }
    if (n <= 0) {
        return 0;
    }
    const int bps = r->bytes_per_sample();
    const int64_t spr = s->samples_per_record;
    const int64_t first_record = p / spr;
    const int64_t end_record = (p + n - 1) / spr + 1;
    bool complete;
    edf_record_cache *cache = (end_record - first_record) * r->record_size <= edf_record_cache_bytes
                                  ? edf_record_cache_of(r)
                                  : nullptr;
    if (cache != nullptr) {
        const bool other_signal = cache->last_signal != s;
        cache->last_signal = s;
        target.first_within = p % spr;
        target.last_end = (p + n - 1) % spr + 1;
        if (edf_read_cached(r, cache, first_record, end_record, target, other_signal)) {
            s->sample_position = p + n;
            return n;
        }
    }
    if (static_cast<int64_t>(n) * bps * 2 <= window_max_bytes && have_window(r, s, bps) &&
        n * 2 <= s->read_ahead_capacity) {
        const bool in_window =
            p >= s->read_ahead_first && p + n <= s->read_ahead_first + s->read_ahead_count;
        const int64_t held = in_window ? n : fill_window(r, s, p, n);
        edf_convert_samples(target, bps, s->read_ahead + (p - s->read_ahead_first) * bps, held);
        complete = held == n;
    } else {
        complete = walk_signal(r, s, p, n, target);
    }
    if (!complete) {
        return -1;
    }
    s->sample_position = p + n;
    return n;
}

int read_signal(int handle, int signal, int n, void *buf, edf_sample_kind kind) {
    edf_reader_state *r = nullptr;
    edf_signal_param *s = edf_reader_signal(handle, signal, &r);
    if (s == nullptr || n < 0) {
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    if (buf == nullptr) {
        return -1;
    }
    edf_run_target target{s, kind, buf, 0, 0, 0};
    return read_samples(r, s, n, target);
}

} // namespace

} // namespace edf

using namespace edf;

extern "C" {

int64_t edfseek(int handle, int edfsignal, int64_t offset, int whence) {
    edf_reader_state *r = nullptr;
    edf_signal_param *s = edf_reader_signal(handle, edfsignal, &r);
    if (s == nullptr) {
        return -1;
    }
    const int64_t total = signal_total(r, s);
    int64_t position = s->sample_position;
    int64_t base;
    switch (whence) {
    case EDFSEEK_SET:
        base = 0;
        break;
    case EDFSEEK_CUR:
        base = position;
        break;
    case EDFSEEK_END:
        base = total;
        break;
    default:
        return position;
    }
    // A sum beyond the 64-bit range saturates; the range check below then applies to it.
    if (edf_add_overflow(base, offset, &position)) {
        position = offset > 0 ? INT64_MAX : INT64_MIN;
    }
    if (position > total) {
        position = total;
    }
    if (position < 0) {
        position = 0;
    }
    s->sample_position = position;
    return position;
}

int64_t edftell(int handle, int edfsignal) {
    edf_reader_state *r = nullptr;
    edf_signal_param *s = edf_reader_signal(handle, edfsignal, &r);
    return s == nullptr ? -1 : s->sample_position;
}

int edfrewind(int handle, int edfsignal) {
    edf_reader_state *r = nullptr;
    edf_signal_param *s = edf_reader_signal(handle, edfsignal, &r);
    if (s == nullptr) {
        return -1;
    }
    s->sample_position = 0;
    return 0;
}

int edfread_digital_samples(int handle, int edfsignal, int n, int *buf) {
    return read_signal(handle, edfsignal, n, buf, edf_sample_kind::digital);
}

int edfread_physical_samples(int handle, int edfsignal, int n, double *buf) {
    return read_signal(handle, edfsignal, n, buf, edf_sample_kind::physical);
}

} // extern "C"
