// The wrapped allocation functions: __wrap_malloc and its siblings stand in for the C
// library's functions, which stay reachable as __real_malloc and so on.
#include "allocation_hook.h"

#include <malloc.h>

#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
}

namespace {

long allocations_to_pass = -1; // negative: not armed
bool failed = false;
long live = 0;
long long live_byte_count = 0;
long long peak_byte_count = 0;

// Byte accounting by the allocator's usable size of each block.
void count_in(void *block) {
    if (block != nullptr) {
        live_byte_count += static_cast<long long>(malloc_usable_size(block));
        peak_byte_count = live_byte_count > peak_byte_count ? live_byte_count : peak_byte_count;
    }
}
void count_out(void *block) {
    if (block != nullptr) {
        live_byte_count -= static_cast<long long>(malloc_usable_size(block));
    }
}

// True when this allocation is the one to fail.
bool fail_now() {
    if (allocations_to_pass < 0) {
        return false;
    }
    if (allocations_to_pass-- > 0) {
        return false;
    }
    failed = true;
    return true;
}

} // namespace

namespace allocation_hook {

void fail_allocation(long k) {
    allocations_to_pass = k;
    failed = false;
}

bool disarm() {
    allocations_to_pass = -1;
    return failed;
}

long live_blocks() {
    return live;
}

long long live_bytes() {
    return live_byte_count;
}

long long reset_peak_bytes() {
    const long long peak = peak_byte_count;
    peak_byte_count = live_byte_count;
    return peak;
}

} // namespace allocation_hook

extern "C" {

void *__wrap_malloc(size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void *block = __real_malloc(size);
    live += block != nullptr;
    count_in(block);
    return block;
}

void *__wrap_calloc(size_t count, size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void *block = __real_calloc(count, size);
    live += block != nullptr;
    count_in(block);
    return block;
}

// A failed realloc leaves the old block as it was.
void *__wrap_realloc(void *block, size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    // The old block counts until the new one exists: both are live during the copy.
    const long long before =
        block != nullptr ? static_cast<long long>(malloc_usable_size(block)) : 0;
    void *grown = __real_realloc(block, size);
    live += block == nullptr && grown != nullptr;
    if (grown != nullptr) {
        count_in(grown);
        live_byte_count -= before;
    }
    return grown;
}

void __wrap_free(void *block) {
    live -= block != nullptr;
    count_out(block);
    __real_free(block);
}

} // extern "C"
