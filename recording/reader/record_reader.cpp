// Reading several signals over whole data records at once: one walk over the record runs of
// all the listed signals, in file order, so that a whole recording is read with large
// positioned reads instead of one read per signal per record. The per-signal read positions
// are neither used nor moved.
#include "recording/core/recording.h"
#include "recording/reader/record_walk.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Targets kept on the stack for up to this many signals; more are allocated.
constexpr int stack_targets = 64;
constexpr int64_t fallback_buffer_bytes = 32768;

template <typename Sample>
int read_records(int handle, int64_t first_record, int record_count, int signal_count,
                 const int *signals, Sample *const *bufs, edf_sample_kind kind) {
    edf_reader_state *r = edf_reader_for(handle);
    if (r == nullptr || first_record < 0 || record_count < 0 || signal_count < 1 ||
        signals == nullptr || bufs == nullptr) {
        return -1;
    }
    const int ordinary = r->signal_count - r->annotation_signal_count;
    for (int i = 0; i < signal_count; i++) {
        if (signals[i] < 0 || signals[i] >= ordinary || bufs[i] == nullptr) {
            return -1;
        }
    }
    const int64_t left = r->datarecord_count - first_record;
    const int64_t count = left < record_count ? (left > 0 ? left : 0) : record_count;
    if (count == 0) {
        return 0;
    }

    edf_run_target on_stack[stack_targets];
    edf_run_target *targets = on_stack;
    if (signal_count > stack_targets) {
        targets = static_cast<edf_run_target *>(
            std::malloc(static_cast<size_t>(signal_count) * sizeof(edf_run_target)));
        if (targets == nullptr) {
            return -1;
        }
    }
    for (int i = 0; i < signal_count; i++) {
        const edf_signal_param *s = &r->signals[r->ordinary_signal_indexes[signals[i]]];
        targets[i] = {s, kind, bufs[i], 0, s->samples_per_record, 0};
    }
    // The walk takes the runs in file order.
    std::sort(targets, targets + signal_count,
              [](const edf_run_target &a, const edf_run_target &b) {
                  return a.signal->buffer_offset < b.signal->buffer_offset;
              });
    unsigned char fallback[fallback_buffer_bytes];
    unsigned char *buffer = edf_large_read_buffer(r);
    const bool complete =
        edf_walk_records(r, first_record, first_record + count, targets, signal_count,
                         buffer != nullptr ? buffer : fallback,
                         buffer != nullptr ? EDF_READ_BUFFER : fallback_buffer_bytes);
    if (targets != on_stack) {
        std::free(targets);
    }
    return complete ? static_cast<int>(count) : -1;
}

} // namespace

extern "C" {

int edfread_physical_records(int handle, int64_t first_record, int record_count, int signal_count,
                             const int *signals, double *const *bufs) {
    return read_records(handle, first_record, record_count, signal_count, signals, bufs,
                        edf_sample_kind::physical);
}

int edfread_digital_records(int handle, int64_t first_record, int record_count, int signal_count,
                            const int *signals, int *const *bufs) {
    return read_records(handle, first_record, record_count, signal_count, signals, bufs,
                        edf_sample_kind::digital);
}

} // extern "C"
