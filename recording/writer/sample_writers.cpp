// Sample writers: they build the data records of a file being written, one signal of a record
// per call or a whole record per call. The first write of a file writes the header; each
// record gets its annotation block (time-keeping TAL and the queued annotations whose places
// lie in the record) where annotation_position puts it; every completed record is counted and
// flushed, so that a crash of the writing process loses at most the record being assembled.
#include "recording/core/annotation_block.h"
#include "recording/core/recording.h"
#include "recording/writer/annotation_placement.h"
#include "recording/writer/header_writer.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

constexpr bool host_is_little_endian = std::endian::native == std::endian::little;

// Grows the scratch buffer to `bytes` (it never shrinks). Returns false when that fails;
// the buffer is then absent.
bool reserve_write_buffer(edf_writer_state *r, int bytes) {
    if (r->write_buffer_size >= bytes) {
        return true;
    }
    std::free(r->write_buffer);
    r->write_buffer_size = 0;
    r->write_buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(bytes)));
    if (r->write_buffer == nullptr) {
        return false;
    }
    r->write_buffer_size = bytes;
    return true;
}

// Physical value to digital value: x / bit_value - offset, truncated toward zero and clipped
// to the digital range. Clipping happens on the double, before the conversion, so values far
// outside the 32-bit range and infinities take the nearest limit without undefined
// behaviour. A NaN has no nearest limit; it is stored as digital_min, the lowest value.
inline int physical_to_digital(double x, double bit_value, double offset, double dmin,
                               double dmax) {
    double v = x / bit_value - offset;
    v = v > dmin ? v : dmin; // NaN fails the comparison and becomes dmin
    v = v < dmax ? v : dmax;
    return static_cast<int>(v);
}

inline int clip(int d, int dmin, int dmax) {
    d = d > dmax ? dmax : d;
    return d < dmin ? dmin : d;
}

inline void store(unsigned char *out, int index, int d, bool edf) {
    if (edf) {
        out[2 * index] = static_cast<unsigned char>(d);
        out[2 * index + 1] = static_cast<unsigned char>(d >> 8);
    } else {
        out[3 * index] = static_cast<unsigned char>(d);
        out[3 * index + 1] = static_cast<unsigned char>(d >> 8);
        out[3 * index + 2] = static_cast<unsigned char>(d >> 16);
    }
}

bool write_all(FILE *stream, const void *data, size_t bytes) {
    return std::fwrite(data, 1, bytes, stream) == bytes;
}

// Converts one signal's share of the current record (`digital(i)` gives sample i's digital
// value) into the scratch buffer and writes it.
template <bool Edf, typename Digital>
int put_samples(edf_writer_state *r, int signal, Digital digital) {
    const int m = r->signals[signal].samples_per_record;
    constexpr int bytes_per_sample = Edf ? 2 : 3;
    if (!reserve_write_buffer(r, m * bytes_per_sample)) {
        return -1;
    }
    unsigned char *out = r->write_buffer;
    for (int i = 0; i < m; i++) {
        store(out, i, digital(i), Edf);
    }
    return write_all(r->file, out, static_cast<size_t>(m) * bytes_per_sample) ? 0 : -1;
}

template <bool Edf>
int put_physical_samples(edf_writer_state *r, int signal, const double *values) {
    const edf_signal_param &s = r->signals[signal];
    const double bit_value = s.bit_value;
    const double offset = s.offset;
    const double dmin = s.digital_min;
    const double dmax = s.digital_max;
    return put_samples<Edf>(r, signal, [=](int i) {
        return physical_to_digital(values[i], bit_value, offset, dmin, dmax);
    });
}

template <bool Edf> int put_digital_samples(edf_writer_state *r, int signal, const int *values) {
    const int dmin = r->signals[signal].digital_min;
    const int dmax = r->signals[signal].digital_max;
    return put_samples<Edf>(r, signal, [=](int i) { return clip(values[i], dmin, dmax); });
}

// 16-bit samples. The caller's array is never changed. A signal whose digital range is the
// whole 16-bit range needs no clipping, and on a little-endian host the array already has the
// file's byte order: it is written as it stands, without a copy. Any other signal is clipped
// into the scratch buffer, as the other writers convert into it.
int put_short_samples(edf_writer_state *r, int signal, const short *values) {
    const edf_signal_param &s = r->signals[signal];
    const int m = s.samples_per_record;
    const bool full_range = s.digital_min == -32768 && s.digital_max == 32767;
    if (host_is_little_endian && full_range) {
        return write_all(r->file, values, static_cast<size_t>(m) * 2) ? 0 : -1;
    }
    const int dmin = s.digital_min;
    const int dmax = s.digital_max;
    if constexpr (host_is_little_endian) {
        // The scratch buffer comes from malloc, so it holds shorts as well as bytes; the
        // clipped values keep the host's (the file's) byte order.
        if (!reserve_write_buffer(r, m * 2)) {
            return -1;
        }
        auto *clipped = reinterpret_cast<short *>(r->write_buffer);
        for (int i = 0; i < m; i++) {
            clipped[i] = static_cast<short>(clip(values[i], dmin, dmax));
        }
        return write_all(r->file, clipped, static_cast<size_t>(m) * 2) ? 0 : -1;
    }
    return put_samples<true>(r, signal, [=](int i) { return clip(values[i], dmin, dmax); });
}

// Where the next write's bytes belong: the start of the record being assembled, after the
// ordinary signals already written and the annotation block when it stands before them.
int64_t position_of_next_write(const edf_writer_state *r) {
    const int64_t bytes_per_sample = r->bytes_per_sample();
    const int s = r->next_write_signal;
    int64_t position =
        static_cast<int64_t>(256) * (1 + r->signal_count + r->annotation_signal_count) +
        r->datarecord_count * r->record_size;
    for (int i = 0; i < s; i++) {
        position += r->signals[i].samples_per_record * bytes_per_sample;
    }
    if (edf_annotation_insert_index(r) < s) {
        position += r->annotation_block_size;
    }
    return position;
}

// Before the first bytes of a write: the header when the file has none yet; after a failed
// write, a seek back to where this write's bytes belong, so that a retry does not leave the
// failed attempt's bytes inside the layout. Returns 0, a header writer code, or -1 (also for a
// record beyond the most that the header can count).
int begin_write(edf_writer_state *r) {
    // The header's eight-character record count holds at most 99999999: a record beyond that
    // could not be counted, and a file whose count says "-1" is refused by every reader. The
    // file stays valid, with the records written so far.
    if (r->next_write_signal == 0 && r->datarecord_count >= EDF_MAX_DATARECORDS) {
        return -1;
    }
    if (r->datarecord_count == 0 && r->next_write_signal == 0) {
        const int result = edf_write_header(r);
        if (result == 0) {
            r->reposition_needed = 0;
        }
        return result;
    }
    if (r->reposition_needed) {
        std::clearerr(r->file);
        if (fseeko(r->file, position_of_next_write(r), SEEK_SET) != 0) {
            return -1;
        }
        r->reposition_needed = 0;
    }
    return 0;
}

int write_failed(edf_writer_state *r) {
    r->reposition_needed = 1;
    return -1;
}

// The annotation block of the record being assembled, with the annotations already queued
// for it. Returns 0 or -1.
int write_annotation_block(edf_writer_state *r) {
    if (edf_write_tal(r, r->file, edf_annotation_queue(r)) != 0) {
        return -1;
    }
    edf_note_annotation_block(r);
    return 0;
}

// Ends a record whose last ordinary signal has been written: the annotation block when it
// comes last, the count, and a flush so that the record reaches the file now. Annotations
// queued for this record after its block was written go into it now; a failure there leaves
// them for the next try (and close) and does not fail the samples. With a sync interval, every
// interval-th record is synced; a failed sync gives -1 with the record counted.
int finish_record(edf_writer_state *r) {
    if (edf_annotation_insert_index(r) == r->signal_count && write_annotation_block(r) != 0) {
        return write_failed(r);
    }
    if (std::fflush(r->file) != 0) {
        return write_failed(r);
    }
    r->datarecord_count++;
    if (r->annotations_placed < r->annotation_count) {
        edf_place_pending_annotations(r);
    }
    if (r->sync_interval > 0 && r->datarecord_count % r->sync_interval == 0) {
        return edf_sync_if_asked(r);
    }
    return 0;
}

enum class file_kind { any, edf_only, bdf_only };

edf_writer_state *sample_writer(int handle, const void *buffer, file_kind kind) {
    edf_writer_state *r = edf_writer_for(handle);
    if (r == nullptr || r->signal_count < 1 || buffer == nullptr) {
        return nullptr;
    }
    if ((kind == file_kind::edf_only && r->is_bdf()) ||
        (kind == file_kind::bdf_only && !r->is_bdf())) {
        return nullptr;
    }
    return r;
}

// One signal of the current record per call; `put` converts and writes the samples.
template <typename Put> int write_signal(int handle, const void *buffer, file_kind kind, Put put) {
    edf_writer_state *r = sample_writer(handle, buffer, kind);
    if (r == nullptr) {
        return -1;
    }
    const int s = r->next_write_signal;
    const int result = begin_write(r);
    if (result != 0) {
        return result;
    }
    if (s == edf_annotation_insert_index(r) && write_annotation_block(r) != 0) {
        return write_failed(r);
    }
    if (put(r, s) != 0) {
        return write_failed(r);
    }
    if (s + 1 < r->signal_count) {
        r->next_write_signal = s + 1;
        return 0;
    }
    r->next_write_signal = 0;
    return finish_record(r);
}

// A whole record per call; `put` converts and writes signal i from position `first` of the
// caller's array.
template <typename Put> int write_block(int handle, const void *buffer, file_kind kind, Put put) {
    edf_writer_state *r = sample_writer(handle, buffer, kind);
    if (r == nullptr || r->next_write_signal != 0) {
        return -1;
    }
    const int result = begin_write(r);
    if (result != 0) {
        return result;
    }
    const int insert_at = edf_annotation_insert_index(r);
    size_t first = 0;
    for (int i = 0; i < r->signal_count; i++) {
        if (i == insert_at && write_annotation_block(r) != 0) {
            return write_failed(r);
        }
        if (put(r, i, first) != 0) {
            return write_failed(r);
        }
        first += static_cast<size_t>(r->signals[i].samples_per_record);
    }
    return finish_record(r);
}

} // namespace

extern "C" {

int edfwrite_physical_samples(int handle, const double *buf) {
    return write_signal(handle, buf, file_kind::any, [buf](edf_writer_state *r, int s) {
        return !r->is_bdf() ? put_physical_samples<true>(r, s, buf)
                            : put_physical_samples<false>(r, s, buf);
    });
}

int edfwrite_digital_samples(int handle, const int *buf) {
    return write_signal(handle, buf, file_kind::any, [buf](edf_writer_state *r, int s) {
        return !r->is_bdf() ? put_digital_samples<true>(r, s, buf)
                            : put_digital_samples<false>(r, s, buf);
    });
}

int edfwrite_digital_short_samples(int handle, short *buf) {
    return write_signal(handle, buf, file_kind::edf_only,
                        [buf](edf_writer_state *r, int s) { return put_short_samples(r, s, buf); });
}

int edf_blockwrite_physical_samples(int handle, const double *buf) {
    return write_block(handle, buf, file_kind::any,
                       [buf](edf_writer_state *r, int i, size_t first) {
                           return !r->is_bdf() ? put_physical_samples<true>(r, i, buf + first)
                                               : put_physical_samples<false>(r, i, buf + first);
                       });
}

int edf_blockwrite_digital_samples(int handle, const int *buf) {
    return write_block(handle, buf, file_kind::any,
                       [buf](edf_writer_state *r, int i, size_t first) {
                           return !r->is_bdf() ? put_digital_samples<true>(r, i, buf + first)
                                               : put_digital_samples<false>(r, i, buf + first);
                       });
}

int edf_blockwrite_digital_short_samples(int handle, short *buf) {
    return write_block(handle, buf, file_kind::edf_only,
                       [buf](edf_writer_state *r, int i, size_t first) {
                           return put_short_samples(r, i, buf + first);
                       });
}

int edf_blockwrite_digital_24bit_samples(int handle, const void *buf) {
    edf_writer_state *r = sample_writer(handle, buf, file_kind::bdf_only);
    if (r == nullptr || r->next_write_signal != 0) {
        return -1;
    }
    const int result = begin_write(r);
    if (result != 0) {
        return result;
    }
    // The caller's bytes are already 3-byte little-endian samples in signal order; only the
    // annotation block has to be placed among them.
    const auto *bytes = static_cast<const unsigned char *>(buf);
    const int insert_at = edf_annotation_insert_index(r);
    size_t before = 0;
    size_t total = 0;
    for (int i = 0; i < r->signal_count; i++) {
        const size_t signal_bytes = static_cast<size_t>(r->signals[i].samples_per_record) * 3;
        if (i < insert_at) {
            before += signal_bytes;
        }
        total += signal_bytes;
    }
    if (insert_at < r->signal_count) {
        if (!write_all(r->file, bytes, before) || write_annotation_block(r) != 0 ||
            !write_all(r->file, bytes + before, total - before)) {
            return write_failed(r);
        }
    } else if (!write_all(r->file, bytes, total)) {
        return write_failed(r);
    }
    return finish_record(r);
}

} // extern "C"
