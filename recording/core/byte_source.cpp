// The byte source's parts that are not on the path of every read.
#include "recording/core/byte_source.h"

#include "recording/core/block_cache.h"

#include <cstdlib>

namespace edf {

edf_byte_source edf_byte_source::over_callbacks(const edf_source &callbacks, bool cached) {
    edf_byte_source s;
    s.kind_ = kind::callbacks;
    s.callbacks_ = callbacks;
    if (callbacks.read_at == nullptr) {
        return s; // every read fails; release is still called
    }
    const int64_t size = callbacks.size != nullptr ? callbacks.size(callbacks.user) : -1;
    s.size_ = size >= 0 ? size : -1;
    s.cache_ = cached ? edf_block_cache::create(callbacks, s.size_) : nullptr;
    return s;
}

int64_t edf_byte_source::size() const {
    switch (kind_) {
    case kind::file:
        return edf_file_size(fd_);
    case kind::memory:
    case kind::callbacks:
        return size_;
    case kind::none:
        break;
    }
    return -1;
}

int64_t edf_byte_source::read_callbacks(void *out, int64_t bytes, int64_t offset) const {
    if (callbacks_.read_at == nullptr || bytes < 0 || offset < 0) {
        return -1;
    }
    if (cache_ != nullptr) {
        return cache_->read(out, bytes, offset);
    }
    return edf_block_cache::call(callbacks_, out, bytes, offset);
}

void edf_byte_source::release() {
    if (cache_ != nullptr) {
        cache_->~edf_block_cache();
        std::free(cache_);
        cache_ = nullptr;
    }
    if (kind_ == kind::callbacks && callbacks_.release != nullptr) {
        callbacks_.release(callbacks_.user);
    }
    kind_ = kind::none;
    callbacks_ = edf_source{};
}

} // namespace edf
