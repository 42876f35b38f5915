// The wrapped allocation functions: __wrap_malloc and its siblings stand in for the C
// library's functions, which stay reachable as __real_malloc and so on. The replaceable forms
// of operator new and delete are replaced here too, for the whole program: they allocate
// through the wrapped functions, so every allocation of the standard library's containers and
// strings meets the same hook.
#include "allocation_hook.h"

#include <malloc.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <new>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
}

namespace {

// The allocator's usable size of a block (on Windows the C runtime's _msize).
size_t usable_size(void *block) {
#ifdef _WIN32
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

long allocations_to_pass = -1; // negative: not armed
bool failed = false;
bool failed_new = false;
bool allocating_new = false; // operator new is allocating
long live = 0;
long long live_byte_count = 0;
long long peak_byte_count = 0;

// Byte accounting by the allocator's usable size of each block.
void count_in(void *block) {
    if (block != nullptr) {
        live_byte_count += static_cast<long long>(usable_size(block));
        peak_byte_count = live_byte_count > peak_byte_count ? live_byte_count : peak_byte_count;
    }
}
void count_out(void *block) {
    if (block != nullptr) {
        live_byte_count -= static_cast<long long>(usable_size(block));
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
    failed_new = allocating_new;
    return true;
}

} // namespace

namespace allocation_hook {

void fail_allocation(long k) {
    allocations_to_pass = k;
    failed = false;
    failed_new = false;
}

bool disarm() {
    allocations_to_pass = -1;
    return failed;
}

bool failed_in_new() {
    return failed_new;
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
    const long long before = block != nullptr ? static_cast<long long>(usable_size(block)) : 0;
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

// operator new: the hooked malloc, then the new-handler and another try, as the standard
// forms do; the aligned forms take posix_memalign's block, counted alike. Every form frees
// through the hooked free.
namespace {

void *new_block(std::size_t size) {
    allocating_new = true;
    void *block = __wrap_malloc(size > 0 ? size : 1);
    allocating_new = false;
    return block;
}

void *new_aligned_block(std::size_t size, std::align_val_t alignment) {
    allocating_new = true;
    const bool fail = fail_now();
    allocating_new = false;
    if (fail) {
        return nullptr;
    }
    std::size_t align = static_cast<std::size_t>(alignment);
    align = align < sizeof(void *) ? sizeof(void *) : align;
#ifdef _WIN32
    // Windows has no posix_memalign: an aligned place inside a larger block, which the word
    // before the place points to; the aligned forms of delete free that block.
    char *raw = static_cast<char *>(__real_malloc(size + align + sizeof(void *)));
    if (raw == nullptr) {
        return nullptr;
    }
    live++;
    count_in(raw);
    const uintptr_t first = reinterpret_cast<uintptr_t>(raw) + sizeof(void *);
    void *block = raw + ((first + align - 1) / align * align - reinterpret_cast<uintptr_t>(raw));
    static_cast<void **>(block)[-1] = raw;
#else
    void *block = nullptr;
    if (posix_memalign(&block, align, size > 0 ? size : 1) != 0) {
        return nullptr;
    }
    live++;
    count_in(block);
#endif
    return block;
}

void delete_aligned(void *block, std::align_val_t alignment) {
#ifdef _WIN32
    static_cast<void>(alignment);
    if (block != nullptr) {
        void *raw = static_cast<void **>(block)[-1];
        live--;
        count_out(raw);
        __real_free(raw);
    }
#else
    static_cast<void>(alignment);
    __wrap_free(block);
#endif
}

template <typename Allocate> void *allocate_or_throw(Allocate allocate) {
    for (;;) {
        if (void *block = allocate()) {
            return block;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

template <typename Allocate> void *allocate_or_null(Allocate allocate) noexcept {
    try {
        return allocate_or_throw(allocate);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

} // namespace

void *operator new(std::size_t size) {
    return allocate_or_throw([=] { return new_block(size); });
}
void *operator new[](std::size_t size) {
    return allocate_or_throw([=] { return new_block(size); });
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate_or_null([=] { return new_block(size); });
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate_or_null([=] { return new_block(size); });
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    return allocate_or_throw([=] { return new_aligned_block(size, alignment); });
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate_or_throw([=] { return new_aligned_block(size, alignment); });
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return allocate_or_null([=] { return new_aligned_block(size, alignment); });
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
    return allocate_or_null([=] { return new_aligned_block(size, alignment); });
}

void operator delete(void *block) noexcept {
    __wrap_free(block);
}
void operator delete[](void *block) noexcept {
    __wrap_free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    __wrap_free(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    __wrap_free(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    __wrap_free(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    __wrap_free(block);
}
void operator delete(void *block, std::align_val_t alignment) noexcept {
    delete_aligned(block, alignment);
}
void operator delete[](void *block, std::align_val_t alignment) noexcept {
    delete_aligned(block, alignment);
}
void operator delete(void *block, std::size_t, std::align_val_t alignment) noexcept {
    delete_aligned(block, alignment);
}
void operator delete[](void *block, std::size_t, std::align_val_t alignment) noexcept {
    delete_aligned(block, alignment);
}
void operator delete(void *block, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    delete_aligned(block, alignment);
}
void operator delete[](void *block, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    delete_aligned(block, alignment);
}
