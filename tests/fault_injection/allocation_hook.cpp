// The wrapped allocation functions: __wrap_malloc and its siblings stand in for the C
// library's functions, which stay reachable as __real_malloc and so on.
#include "allocation_hook.h"

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

} // namespace allocation_hook

extern "C" {

void *__wrap_malloc(size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void *block = __real_malloc(size);
    live += block != nullptr;
    return block;
}

void *__wrap_calloc(size_t count, size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void *block = __real_calloc(count, size);
    live += block != nullptr;
    return block;
}

// A failed realloc leaves the old block as it was.
void *__wrap_realloc(void *block, size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void *grown = __real_realloc(block, size);
    live += block == nullptr && grown != nullptr;
    return grown;
}

void __wrap_free(void *block) {
    live -= block != nullptr;
    __real_free(block);
}

} // extern "C"
