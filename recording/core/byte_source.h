// The bytes under everything that reads a file: read n bytes at a 64-bit offset, and the
// current size. Three kinds: a local file (positioned reads on its descriptor, nothing in
// between), memory (the caller's bytes, no copy kept), and a caller's callbacks (struct
// edf_source), which go through a block cache because each call may be a network request.
//
// A read returns the count read, less than asked for only at the end of the bytes, or -1 when
// the source failed. A short read from callbacks is the end: it is never retried.
#pragma once

#include "recording/core/platform_file.h"
#include "recording/edf.h"

#include <cstdint>
#include <cstring>

namespace edf {

class edf_block_cache;

class edf_byte_source {
  public:
    enum class kind : unsigned char { none, file, memory, callbacks };

    edf_byte_source() = default;
    edf_byte_source(const edf_byte_source &) = delete;
    edf_byte_source &operator=(const edf_byte_source &) = delete;
    edf_byte_source(edf_byte_source &&other) noexcept {
        take(other);
    }
    edf_byte_source &operator=(edf_byte_source &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~edf_byte_source() {
        release();
    }

    // The file open as `fd` (not closed by the source).
    static edf_byte_source over_file(int fd) {
        edf_byte_source s;
        s.kind_ = kind::file;
        s.fd_ = fd;
        return s;
    }
    // `size` bytes at `data` (not copied, not freed).
    static edf_byte_source over_memory(const void *data, int64_t size) {
        edf_byte_source s;
        s.kind_ = kind::memory;
        s.data_ = static_cast<const unsigned char *>(data);
        s.size_ = data != nullptr && size > 0 ? size : 0;
        return s;
    }
    // The caller's callbacks; the source calls `release` once, when it goes. Asks the size
    // once, here: a source of callbacks is taken not to change while it is read. The cache is
    // allocated here (unless `cached` is false: every read is then one call of its span);
    // when it cannot be had, every read is one call.
    static edf_byte_source over_callbacks(const edf_source &callbacks, bool cached = true);

    kind source_kind() const {
        return kind_;
    }
    // Whether reads can succeed at all: not empty, and callbacks with a read function.
    bool usable() const {
        return kind_ != kind::none && (kind_ != kind::callbacks || callbacks_.read_at != nullptr);
    }
    // Whether reads go through the block cache (each miss costs a call of the caller's).
    bool is_callbacks() const {
        return kind_ == kind::callbacks;
    }

    // Reads up to `bytes` bytes at `offset` into `out`.
    int64_t read_at(void *out, int64_t bytes, int64_t offset) const {
        switch (kind_) {
        case kind::file:
            return edf_read_at(fd_, out, bytes, offset);
        case kind::memory: {
            if (offset < 0 || bytes < 0) {
                return -1;
            }
            if (offset >= size_) {
                return 0;
            }
            const int64_t n = bytes < size_ - offset ? bytes : size_ - offset;
            std::memcpy(out, data_ + offset, static_cast<size_t>(n));
            return n;
        }
        case kind::callbacks:
            return read_callbacks(out, bytes, offset);
        case kind::none:
            break;
        }
        return -1;
    }

    // The size in bytes now (a file's may change while it is open), or -1 when unknown.
    int64_t size() const;

    // Lets go of what the source holds: calls the callbacks' `release` (once), frees the
    // cache. The source is empty afterwards.
    void release();

  private:
    int64_t read_callbacks(void *out, int64_t bytes, int64_t offset) const;
    void take(edf_byte_source &other) {
        kind_ = other.kind_;
        fd_ = other.fd_;
        data_ = other.data_;
        size_ = other.size_;
        callbacks_ = other.callbacks_;
        cache_ = other.cache_;
        other.kind_ = kind::none;
        other.cache_ = nullptr;
        other.callbacks_ = edf_source{};
    }

    kind kind_ = kind::none;
    int fd_ = -1;
    const unsigned char *data_ = nullptr;
    int64_t size_ = -1; // memory: its size; callbacks: the size asked at the start
    edf_source callbacks_{};
    edf_block_cache *cache_ = nullptr;
};

} // namespace edf
