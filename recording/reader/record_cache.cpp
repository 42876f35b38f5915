// The cache of whole data records behind the per-signal reads (record_cache.h).
#include "recording/reader/record_cache.h"

#include <cstdlib>

namespace edf {

namespace {

bool holds(const edf_record_cache *c, int64_t first_record, int64_t end_record) {
    return first_record >= c->first_record && end_record <= c->first_record + c->record_count;
}

// Reads records from first_record on into the cache: the span asked for, or as many as the
// cache holds when the span fills at most half of it (small reads moving on through the file
// then find their next records there too). A source of callbacks gets the span alone: its
// block cache reads ahead in blocks, and a remote viewer pays for every byte it is sent.
void fill_cache(const edf_reader_state *r, edf_record_cache *c, int64_t first_record,
                int64_t end_record) {
    int64_t count = end_record - first_record;
    if (count * 2 <= c->capacity && !r->source.is_callbacks()) {
        count = c->capacity;
    }
    const int64_t left = r->datarecord_count - first_record;
    count = count < left ? count : left;
    c->record_count = 0;
    const int64_t got =
        r->source.read_at(c->bytes, count * r->record_size,
                          r->header_size + first_record * static_cast<int64_t>(r->record_size));
    c->first_record = first_record;
    c->record_count = got > 0 ? got / r->record_size : 0;
}

} // namespace

edf_record_cache *edf_record_cache_of(edf_reader_state *r) {
    if (r->record_cache != nullptr) {
        return r->record_cache;
    }
    const int64_t capacity = r->record_size > 0 ? edf_record_cache_bytes / r->record_size : 0;
    if (capacity < 1) {
        return nullptr;
    }
    void *block =
        std::malloc(sizeof(edf_record_cache) + static_cast<size_t>(capacity * r->record_size));
    if (block == nullptr) {
        return nullptr;
    }
    edf_record_cache *c = static_cast<edf_record_cache *>(block);
    c->first_record = 0;
    c->record_count = 0;
    c->capacity = capacity;
    c->last_signal = nullptr;
    c->bytes = reinterpret_cast<unsigned char *>(c + 1);
    r->record_cache = c;
    return c;
}

bool edf_read_cached(edf_reader_state *r, edf_record_cache *c, int64_t first_record,
                     int64_t end_record, edf_run_target &t, bool fill) {
    if (!holds(c, first_record, end_record)) {
        if (!fill || end_record - first_record > c->capacity) {
            return false;
        }
        fill_cache(r, c, first_record, end_record);
        if (!holds(c, first_record, end_record)) {
            return false;
        }
    }
    const int bps = r->bytes_per_sample();
    const int64_t spr = t.signal->samples_per_record;
    for (int64_t record = first_record; record < end_record; record++) {
        const int64_t begin = record == first_record ? t.first_within : 0;
        const int64_t end = record == end_record - 1 ? t.last_end : spr;
        const unsigned char *run = c->bytes + (record - c->first_record) * r->record_size +
                                   t.signal->buffer_offset + begin * bps;
        edf_convert_samples(t, bps, run, end - begin);
    }
    return true;
}

} // namespace edf
