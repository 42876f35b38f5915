#include "recording/writer/annotation_placement.h"

#include "recording/core/annotation_block.h"
#include "recording/core/exception_boundary.h"
#include "recording/core/platform_file.h"
#include "recording/core/header_layout.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace edf {

namespace {

using namespace edf_layout;

// Entries that have a place of their own: A per record on disk.
int64_t own_places(const edf_writer_state *r) {
    return std::min<int64_t>(r->annotation_count,
                             r->datarecord_count *
                                 static_cast<int64_t>(r->annotation_signal_count));
}

int64_t signal_position(const edf_writer_state *r, edf_annotation_place place) {
    const int64_t header_size = static_cast<int64_t>(signal_header_size) *
                                (1 + r->signal_count + r->annotation_signal_count);
    return header_size + place.record * r->record_size + edf_annotation_block_offset(r) +
           static_cast<int64_t>(annotation_signal_bytes) * place.signal;
}

bool write_signal_at(edf_writer_state *r, edf_annotation_place place, const char *bytes) {
    if (fseeko(r->file, signal_position(r, place), SEEK_SET) != 0) {
        return false; // the stream stays where it was (a pipe, say)
    }
    // The stream has left the data records' end; the next sample write seeks back.
    r->reposition_needed = 1;
    return std::fwrite(bytes, 1, annotation_signal_bytes, r->file) == annotation_signal_bytes;
}

// An entry packed after the TALs of annotation signal number `place` (counted over the file).
struct packed_entry {
    int64_t place;
    int64_t index;
};

// Chooses an annotation signal for every entry without a place of its own. Room only shrinks,
// so for each TAL length the search resumes where the last one of that length stopped.
// Returns the entries placed in queue order; `lost` counts the others.
std::vector<packed_entry> plan_packing(const edf_writer_state *r,
                                       const edf_queued_annotation *queue, int64_t *lost) {
    const int64_t places = r->datarecord_count * r->annotation_signal_count;
    const int a = r->annotation_signal_count;
    std::vector<packed_entry> plan;
    std::vector<unsigned char> used; // bytes in use per place, filled as the search goes
    int64_t resume[annotation_signal_bytes + 1] = {};
    char scratch[annotation_signal_bytes];
    for (int64_t i = places; i < r->annotation_count; i++) {
        const int length = edf_format_annotation_tal(r, &queue[i], scratch);
        int64_t p = resume[length];
        for (; p < places; p++) {
            if (static_cast<int64_t>(used.size()) <= p) {
                // Every place holds its own entry: there are more entries than places.
                used.push_back(static_cast<unsigned char>(edf_format_annotation_signal(
                    r, p / a, static_cast<int>(p % a), &queue[p], scratch)));
            }
            if (used[static_cast<size_t>(p)] + length <= annotation_signal_bytes) {
                break;
            }
        }
        resume[length] = p;
        if (p == places) {
            ++*lost;
            continue;
        }
        used[static_cast<size_t>(p)] =
            static_cast<unsigned char>(used[static_cast<size_t>(p)] + length);
        plan.push_back({p, i});
    }
    return plan;
}

// Writes each annotation signal that receives packed entries: its own TALs again, then the
// packed ones. Returns the number of packed entries whose write failed.
int64_t write_packing(edf_writer_state *r, const edf_queued_annotation *queue,
                      std::vector<packed_entry> &plan) {
    std::stable_sort(plan.begin(), plan.end(), [](const packed_entry &x, const packed_entry &y) {
        return x.place < y.place;
    });
    const int a = r->annotation_signal_count;
    int64_t failed = 0;
    size_t first = 0;
    while (first < plan.size()) {
        const int64_t p = plan[first].place;
        const edf_annotation_place place{p / a, static_cast<int>(p % a)};
        char bytes[annotation_signal_bytes];
        int n = edf_format_annotation_signal(r, place.record, place.signal, &queue[p], bytes);
        size_t last = first;
        for (; last < plan.size() && plan[last].place == p; last++) {
            n += edf_format_annotation_tal(r, &queue[plan[last].index], bytes + n);
        }
        if (!write_signal_at(r, place, bytes)) {
            failed += static_cast<int64_t>(last - first);
        }
        first = last;
    }
    return failed;
}

} // namespace

edf_annotation_place edf_annotation_place_of(const edf_writer_state *r, int64_t index) {
    return {index / r->annotation_signal_count,
            static_cast<int>(index % r->annotation_signal_count)};
}

const edf_queued_annotation *edf_annotation_queue(const edf_writer_state *r) {
    return r->annotations;
}

void edf_note_annotation_block(edf_writer_state *r) {
    const int64_t first = r->datarecord_count * r->annotation_signal_count;
    if (r->annotations_placed >= first) {
        const int64_t end =
            std::min<int64_t>(r->annotation_count, first + r->annotation_signal_count);
        r->annotations_placed = static_cast<int>(std::max<int64_t>(r->annotations_placed, end));
    }
}

int edf_place_pending_annotations(edf_writer_state *r) {
    const int64_t end = own_places(r);
    if (r->annotations_placed >= end) {
        return 0;
    }
    const edf_queued_annotation *queue = edf_annotation_queue(r);
    for (int64_t i = r->annotations_placed; i < end; i++) {
        const edf_annotation_place place = edf_annotation_place_of(r, i);
        char bytes[annotation_signal_bytes];
        edf_format_annotation_signal(r, place.record, place.signal, &queue[i], bytes);
        if (!write_signal_at(r, place, bytes)) {
            return -1;
        }
        r->annotations_placed = static_cast<int>(i + 1);
    }
    if (std::fflush(r->file) != 0) {
        return -1;
    }
    return edf_sync_if_asked(r);
}

int64_t edf_place_remaining_annotations(edf_writer_state *r) {
    // Entries placed in a record that was never completed have lost that place.
    const int64_t own = own_places(r);
    r->annotations_placed = static_cast<int>(std::min<int64_t>(r->annotations_placed, own));
    edf_place_pending_annotations(r);
    const int64_t pending_lost = own - r->annotations_placed;
    const int64_t surplus = r->annotation_count - own;
    if (surplus == 0) {
        return pending_lost;
    }
    // The plan is a vector: when it cannot be made, no packed entry is written and all count
    // as lost. Close goes on either way, so nothing may be thrown out of here.
    const int64_t lost =
        edf_without_exceptions(pending_lost + surplus, pending_lost + surplus, [&] {
            const edf_queued_annotation *queue = edf_annotation_queue(r);
            int64_t not_packed = pending_lost;
            std::vector<packed_entry> plan = plan_packing(r, queue, &not_packed);
            return not_packed + write_packing(r, queue, plan);
        });
    if (std::fflush(r->file) != 0) {
        return pending_lost + surplus;
    }
    edf_sync_if_asked(r); // the bytes are written; a failed sync does not lose them here
    return lost;
}

int edf_sync_if_asked(edf_writer_state *r) {
    if (r->sync_interval == 0) {
        return 0;
    }
    return edf_sync_file(edf_descriptor_of(r->file)) ? 0 : -1;
}

} // namespace edf
