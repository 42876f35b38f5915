// A small cache of aligned blocks over a caller's callbacks (struct edf_source), where each
// call may be a network request: reads smaller than a block are served from the blocks that
// hold them, a missing block is fetched whole, and while misses run forward (a viewer
// scrolling, a walk over records) the block after it is fetched in the same call. Reads of a
// block or more go to the source as they are, in one call. It holds raw source bytes only:
// decoded samples are the reader's business.
#pragma once

#include "recording/edf.h"

#include <cstdint>

class edf_block_cache {
  public:
    static constexpr int64_t block_bytes = 64 * 1024;
    static constexpr int block_count = 8;
    // Blocks fetched in one call while misses run forward.
    static constexpr int read_ahead_blocks = 2;

    // Null when the memory cannot be had.
    static edf_block_cache *create(const edf_source &source, int64_t size);
    ~edf_block_cache();
    edf_block_cache(const edf_block_cache &) = delete;
    edf_block_cache &operator=(const edf_block_cache &) = delete;

    // Reads up to `bytes` bytes at `offset`: the count read, less only at the end of the
    // source, or -1 when the source failed (a call returned -1 or more than asked for).
    int64_t read(void *out, int64_t bytes, int64_t offset);

    // One call of the source's read_at, its result checked: the count, or -1. A short count
    // marks the end of the source.
    static int64_t call(const edf_source &source, void *out, int64_t bytes, int64_t offset);

  private:
    struct block {
        int64_t index; // block number, -1 when empty
        int64_t valid; // bytes it holds (fewer than block_bytes at the end of the source)
        uint64_t used; // the time of its last use, for the LRU choice
        unsigned char *bytes;
    };
    edf_block_cache() = default;
    block *find(int64_t index);
    block *fetch(int64_t index);
    block *oldest();

    edf_source source_{};
    int64_t end_ = -1; // the end of the source when known (its size, or where a read fell short)
    int64_t next_miss_ = -1; // the block after the last one fetched
    uint64_t clock_ = 0;
    block blocks_[block_count]{};
    unsigned char *slab_ = nullptr;    // block_count blocks
    unsigned char *scratch_ = nullptr; // read_ahead_blocks blocks, for a fetch of several
};
