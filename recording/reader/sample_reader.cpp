// Sample reading and positioning. Every ordinary signal of a file opened for reading has its
// own read position, in samples from the start of the recording. A signal's samples are
// spread over the data records: in each record they form one run of samples_per_record
// samples (2 bytes each in EDF, 3 in BDF, least significant byte first) at the signal's
// buffer_offset. A read takes the runs record by record through a fixed buffer, with
// positioned reads: runs separated by little else are read together in one call, runs
// separated by much else are read one by one. Values are clamped to the signal's digital range and,
// for physical reads, converted as (d + offset) * bit_value.
#include "recording/core/recording.h"
#include "recording/reader/positioned_read.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr int64_t read_buffer_bytes = 32768;
// Bytes between two runs that are read (and dropped) rather than sought over.
constexpr int64_t read_through_gap = 4096;

// The signal record of ordinary signal `signal` of a read handle, or null.
edf_signal_param *reader_signal(int handle, int signal, edf_recording **recording) {
    edf_recording *r = edf_recording_for(handle, edf_side::reader);
    if (r == nullptr || signal < 0 || signal >= r->signal_count - r->annotation_signal_count) {
        return nullptr;
    }
    *recording = r;
    return &r->signals[r->ordinary_signal_indexes[signal]];
}

int64_t signal_total(const edf_recording *r, const edf_signal_param *s) {
    return static_cast<int64_t>(s->samples_per_record) * r->datarecord_count;
}

template <int Bps> inline int decode(const unsigned char *p) {
    if constexpr (Bps == 2) {
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    } else {
        const int v = p[0] | (p[1] << 8) | (p[2] << 16);
        return (v ^ 0x800000) - 0x800000; // sign extension from bit 23
    }
}

struct digital_sink {
    int *out;
    void operator()(int64_t i, int d) const {
        out[i] = d;
    }
};

struct physical_sink {
    double *out;
    double offset;
    double bit_value;
    void operator()(int64_t i, int d) const {
        out[i] = (static_cast<double>(d) + offset) * bit_value;
    }
};

template <int Bps, typename Sink>
void convert(const unsigned char *in, int64_t count, int64_t at, int dmin, int dmax,
             const Sink &sink) {
    for (int64_t i = 0; i < count; i++) {
        int d = decode<Bps>(in + i * Bps);
        d = d > dmax ? dmax : d;
        d = d < dmin ? dmin : d;
        sink(at + i, d);
    }
}

// Reads n samples from the signal's position. Returns the count read, or -1 when the file
// ends before the last byte of a sample (the position then stays; the samples before the
// missing one are stored).
template <int Bps, typename Sink>
int read_samples(edf_recording *r, edf_signal_param *s, int n, const Sink &sink) {
    const int64_t spr = s->samples_per_record;
    const int64_t p = s->sample_position;
    const int64_t left = signal_total(r, s) - p;
    if (left < n) {
        n = static_cast<int>(left > 0 ? left : 0);
    }
    if (n <= 0) {
        return 0;
    }
    const int64_t gap = r->record_size - spr * Bps; // other signals' bytes between two runs
    const bool seek_gaps = gap >= read_through_gap;
    const int dmin = s->digital_min;
    const int dmax = s->digital_max;
    int64_t within = p % spr; // sample index inside the current record
    // File position of the next byte to read.
    int64_t position =
        r->header_size + (p / spr) * r->record_size + s->buffer_offset + within * Bps;

    unsigned char buffer[read_buffer_bytes];
    int64_t done = 0;
    while (done < n) {
        // Plan one read: runs (or the part of a run that fits), with the gaps between them
        // when those are read through rather than passed over.
        int64_t bytes = 0;
        int64_t count = 0;
        for (int64_t w = within, pending_gap = 0; done + count < n;) {
            const int64_t room = read_buffer_bytes - bytes - pending_gap;
            if (room < Bps) {
                break;
            }
            int64_t take = spr - w < n - done - count ? spr - w : n - done - count;
            take = take * Bps > room ? room / Bps : take;
            bytes += pending_gap + take * Bps;
            count += take;
            w += take;
            if (w != spr || seek_gaps) {
                break;
            }
            w = 0;
            pending_gap = gap;
        }
        const int64_t got = edf_read_at(r->file, buffer, bytes, position);
        position += bytes;
        // Walk the same plan over the bytes that arrived.
        int64_t at = 0;
        while (count > 0) {
            const int64_t take = spr - within < count ? spr - within : count;
            if (at + take * Bps > got) {
                const int64_t whole = got > at ? (got - at) / Bps : 0;
                convert<Bps>(buffer + at, whole, done, dmin, dmax, sink);
                return -1;
            }
            convert<Bps>(buffer + at, take, done, dmin, dmax, sink);
            done += take;
            count -= take;
            at += take * Bps;
            within += take;
            if (within == spr) {
                within = 0;
                at += gap;
            }
        }
        if (within == 0) {
            position += gap; // the next run starts after the other signals of the record
        }
    }
    s->sample_position = p + n;
    return n;
}

template <typename Sink>
int read_signal(int handle, int signal, int n, const void *buf, const Sink &make) {
    edf_recording *r = nullptr;
    edf_signal_param *s = reader_signal(handle, signal, &r);
    if (s == nullptr || n < 0) {
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    if (buf == nullptr) {
        return -1;
    }
    return r->is_edf ? read_samples<2>(r, s, n, make(s)) : read_samples<3>(r, s, n, make(s));
}

} // namespace

extern "C" {

int64_t edfseek(int handle, int edfsignal, int64_t offset, int whence) {
    edf_recording *r = nullptr;
    edf_signal_param *s = reader_signal(handle, edfsignal, &r);
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
    if (__builtin_add_overflow(base, offset, &position)) {
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
    edf_recording *r = nullptr;
    edf_signal_param *s = reader_signal(handle, edfsignal, &r);
    return s == nullptr ? -1 : s->sample_position;
}

int edfrewind(int handle, int edfsignal) {
    edf_recording *r = nullptr;
    edf_signal_param *s = reader_signal(handle, edfsignal, &r);
    if (s == nullptr) {
        return -1;
    }
    s->sample_position = 0;
    return 0;
}

int edfread_digital_samples(int handle, int edfsignal, int n, int *buf) {
    return read_signal(handle, edfsignal, n, buf,
                       [buf](const edf_signal_param *) { return digital_sink{buf}; });
}

int edfread_physical_samples(int handle, int edfsignal, int n, double *buf) {
    return read_signal(handle, edfsignal, n, buf, [buf](const edf_signal_param *s) {
        return physical_sink{buf, s->offset, s->bit_value};
    });
}

} // extern "C"
