// The walk over record runs shared by the per-signal reads and the record reads, and the
// conversion loops that turn a run's bytes into samples.
#include "recording/reader/record_walk.h"

#include <cstdlib>
#include <cstring>

namespace {

// Bytes between two runs that are read (and dropped) rather than passed over with a
// separate read.
constexpr int64_t read_through_gap = 4096;

template <int Bps> inline int decode(const unsigned char *p) {
    if constexpr (Bps == 2) {
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    } else {
        const int v = p[0] | (p[1] << 8) | (p[2] << 16);
        return (v ^ 0x800000) - 0x800000; // sign extension from bit 23
    }
}

template <int Bps>
void to_digital(const unsigned char *in, int64_t count, int dmin, int dmax, int *out) {
    for (int64_t i = 0; i < count; i++) {
        int d = decode<Bps>(in + i * Bps);
        d = d > dmax ? dmax : d;
        d = d < dmin ? dmin : d;
        out[i] = d;
    }
}

template <int Bps>
void to_physical(const unsigned char *in, int64_t count, int dmin, int dmax, double offset,
                 double bit_value, double *out) {
    for (int64_t i = 0; i < count; i++) {
        int d = decode<Bps>(in + i * Bps);
        d = d > dmax ? dmax : d;
        d = d < dmin ? dmin : d;
        out[i] = (static_cast<double>(d) + offset) * bit_value;
    }
}

// A place in the walk: the record, the target (in file order) and the next sample of that
// target's run in the record.
struct cursor {
    int64_t record;
    int target;
    int64_t within;
};

struct walk {
    const edf_reader_state *r;
    int64_t first_record;
    int64_t end_record;
    edf_run_target *targets;
    int count;
    int64_t bps;

    int64_t run_begin(const cursor &c) const {
        return c.record == first_record ? targets[c.target].first_within : 0;
    }
    int64_t run_end(const cursor &c) const {
        return c.record == end_record - 1 ? targets[c.target].last_end
                                          : targets[c.target].signal->samples_per_record;
    }
    // Moves to the start of the next run that holds samples; false at the end of the walk.
    bool settle(cursor &c) const {
        while (c.record < end_record) {
            if (c.within < run_end(c)) {
                return true;
            }
            if (++c.target == count) {
                c.target = 0;
                c.record++;
            }
            if (c.record < end_record) {
                c.within = run_begin(c);
            }
        }
        return false;
    }
    int64_t position(const cursor &c) const {
        return r->header_size + c.record * r->record_size +
               targets[c.target].signal->buffer_offset + c.within * bps;
    }
};

} // namespace

void edf_convert_samples(edf_run_target &t, int bytes_per_sample, const unsigned char *in,
                         int64_t count) {
    const edf_signal_param *s = t.signal;
    switch (t.kind) {
    case edf_sample_kind::digital: {
        int *out = static_cast<int *>(t.out) + t.done;
        if (bytes_per_sample == 2) {
            to_digital<2>(in, count, s->digital_min, s->digital_max, out);
        } else {
            to_digital<3>(in, count, s->digital_min, s->digital_max, out);
        }
        break;
    }
    case edf_sample_kind::physical: {
        double *out = static_cast<double *>(t.out) + t.done;
        if (bytes_per_sample == 2) {
            to_physical<2>(in, count, s->digital_min, s->digital_max, s->offset, s->bit_value, out);
        } else {
            to_physical<3>(in, count, s->digital_min, s->digital_max, s->offset, s->bit_value, out);
        }
        break;
    }
    case edf_sample_kind::raw:
        std::memcpy(static_cast<unsigned char *>(t.out) + t.done * bytes_per_sample, in,
                    static_cast<size_t>(count * bytes_per_sample));
        break;
    }
    t.done += count;
}

bool edf_walk_records(const edf_reader_state *r, int64_t first_record, int64_t end_record,
                      edf_run_target *targets, int count, unsigned char *buffer,
                      int64_t buffer_bytes) {
    const walk w{r, first_record, end_record, targets, count, r->bytes_per_sample()};
    cursor c{first_record, 0, w.run_begin({first_record, 0, 0})};
    while (w.settle(c)) {
        // Plan one read: the runs (or the part of a run that fits) from c on, while the
        // bytes between them are few enough to be read through.
        const cursor start = c;
        const int64_t begin = w.position(c);
        int64_t end = begin;
        while (w.settle(c)) {
            const int64_t at = w.position(c);
            // A repeated signal's run lies before the read that began in its first copy.
            if (at < begin || at - end > read_through_gap) {
                break;
            }
            const int64_t room = (buffer_bytes - (at - begin)) / w.bps;
            if (room <= 0) {
                break;
            }
            const int64_t left = w.run_end(c) - c.within;
            const int64_t take = left < room ? left : room;
            end = at + take * w.bps > end ? at + take * w.bps : end;
            c.within += take;
        }
        const int64_t got = r->source.read_at(buffer, end - begin, begin);
        // Walk the same plan over the bytes that arrived.
        for (cursor p = start; w.settle(p) && (p.record != c.record || p.target != c.target ||
                                               p.within != c.within);) {
            const int64_t at = w.position(p) - begin;
            const int64_t take = p.record == c.record && p.target == c.target
                                     ? c.within - p.within
                                     : w.run_end(p) - p.within;
            if (at + take * w.bps > got) {
                const int64_t whole = got > at ? (got - at) / w.bps : 0;
                edf_convert_samples(targets[p.target], static_cast<int>(w.bps), buffer + at, whole);
                return false;
            }
            edf_convert_samples(targets[p.target], static_cast<int>(w.bps), buffer + at, take);
            p.within += take;
        }
    }
    return true;
}

unsigned char *edf_large_read_buffer(edf_reader_state *r) {
    if (r->read_buffer == nullptr) {
        r->read_buffer = static_cast<unsigned char *>(std::malloc(EDF_READ_BUFFER));
    }
    return r->read_buffer;
}

edf_signal_param *edf_reader_signal(int handle, int signal, edf_reader_state **recording) {
    edf_reader_state *r = edf_reader_for(handle);
    if (r == nullptr || signal < 0 || signal >= r->signal_count - r->annotation_signal_count) {
        return nullptr;
    }
    *recording = r;
    return &r->signals[r->ordinary_signal_indexes[signal]];
}
