// The block cache over a caller's callbacks (see block_cache.h).
#include "recording/core/block_cache.h"

#include <cstdlib>
#include <cstring>
#include <new>

edf_block_cache *edf_block_cache::create(const edf_source &source, int64_t size) {
    auto *slab = static_cast<unsigned char *>(std::malloc(block_count * block_bytes));
    auto *scratch = static_cast<unsigned char *>(std::malloc(read_ahead_blocks * block_bytes));
    auto *cache = static_cast<edf_block_cache *>(std::malloc(sizeof(edf_block_cache)));
    if (slab == nullptr || scratch == nullptr || cache == nullptr) {
        std::free(slab);
        std::free(scratch);
        std::free(cache);
        return nullptr;
    }
    cache = new (cache) edf_block_cache();
    cache->source_ = source;
    cache->end_ = size;
    cache->slab_ = slab;
    cache->scratch_ = scratch;
    for (int i = 0; i < block_count; i++) {
        cache->blocks_[i] = block{-1, 0, 0, slab + i * block_bytes};
    }
    return cache;
}

edf_block_cache::~edf_block_cache() {
    std::free(slab_);
    std::free(scratch_);
}

int64_t edf_block_cache::call(const edf_source &source, void *out, int64_t bytes, int64_t offset) {
    if (bytes <= 0) {
        return 0;
    }
    const int64_t got = source.read_at(source.user, out, bytes, offset);
    return got < 0 || got > bytes ? -1 : got;
}

edf_block_cache::block *edf_block_cache::find(int64_t index) {
    for (block &b : blocks_) {
        if (b.index == index) {
            b.used = ++clock_;
            return &b;
        }
    }
    return nullptr;
}

edf_block_cache::block *edf_block_cache::oldest() {
    block *chosen = &blocks_[0];
    for (block &b : blocks_) {
        if (b.index < 0) {
            return &b;
        }
        if (b.used < chosen->used) {
            chosen = &b;
        }
    }
    return chosen;
}

// Fetches block `index` (and, while misses run forward, the blocks after it) in one call.
edf_block_cache::block *edf_block_cache::fetch(int64_t index) {
    const int64_t start = index * block_bytes;
    int span = index == next_miss_ ? read_ahead_blocks : 1;
    int64_t want = span * block_bytes;
    if (end_ >= 0 && start + want > end_) {
        want = end_ - start;
        span = static_cast<int>((want + block_bytes - 1) / block_bytes);
    }
    if (want <= 0) {
        return nullptr;
    }
    unsigned char *target = span == 1 ? nullptr : scratch_;
    block *first = oldest();
    // A single block goes straight into its slot; an empty one holds nothing meanwhile.
    first->index = -1;
    const int64_t got = call(source_, target != nullptr ? target : first->bytes, want, start);
    if (got < 0) {
        return nullptr;
    }
    if (got < want) {
        end_ = start + got; // a short read is the end
    }
    next_miss_ = index + span;
    block *result = nullptr;
    for (int k = 0; k < span; k++) {
        const int64_t from = k * block_bytes;
        if (k > 0 && from >= got) {
            break;
        }
        block *b = k == 0 ? first : oldest();
        const int64_t held = got - from < block_bytes ? got - from : block_bytes;
        if (target != nullptr) {
            std::memcpy(b->bytes, target + from, static_cast<size_t>(held > 0 ? held : 0));
        }
        b->index = index + k;
        b->valid = held > 0 ? held : 0;
        b->used = ++clock_;
        if (k == 0) {
            result = b;
        }
    }
    return result;
}

int64_t edf_block_cache::read(void *out, int64_t bytes, int64_t offset) {
    if (bytes < 0 || offset < 0) {
        return -1;
    }
    if (bytes == 0 || (end_ >= 0 && offset >= end_)) {
        return 0;
    }
    if (bytes >= block_bytes) {
        const int64_t got = call(source_, out, bytes, offset);
        if (got >= 0 && got < bytes) {
            end_ = offset + got;
        }
        return got;
    }
    auto *to = static_cast<unsigned char *>(out);
    int64_t done = 0;
    while (done < bytes) {
        const int64_t position = offset + done;
        if (end_ >= 0 && position >= end_) {
            break;
        }
        const int64_t index = position / block_bytes;
        block *b = find(index);
        if (b == nullptr) {
            b = fetch(index);
        }
        if (b == nullptr) {
            // The source failed, or ended before this block.
            return end_ >= 0 && position >= end_ ? done : -1;
        }
        const int64_t within = position - index * block_bytes;
        if (within >= b->valid) {
            break;
        }
        const int64_t n = bytes - done < b->valid - within ? bytes - done : b->valid - within;
        std::memcpy(to + done, b->bytes + within, static_cast<size_t>(n));
        done += n;
        if (b->valid < block_bytes) {
            break; // the last block of the source
        }
    }
    return done;
}
