// A remote recording read through HTTP range requests (libcurl), as a byte source of the
// library (struct edf_source): each read is one "Range: bytes=a-b" GET on one connection kept
// alive. The first request asks for the first 64 KiB, which hold the header (and, for most
// recordings, the first data record) and whose Content-Range gives the size, so that opening
// costs one request.
//
// Safety: TLS certificates are verified; redirects are followed to http and https only; a
// connection that cannot be made, or that stalls, fails after a timeout (30 s, or the seconds
// in EDFINFO_HTTP_TIMEOUT); every answer is checked against what was asked (status 206, the
// range asked for, the size learnt at first, a body of that length), and anything else fails
// the read with a message that names it. A server that ignores ranges (a 200 answer) is
// refused unless its answer is the whole recording within the bytes asked for.
#pragma once

#include "recording/edf.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// True for a name that starts with http:// or https:// (the scheme in any case).
bool is_remote_url(const std::string &name);

#ifdef EDFINFO_WITHOUT_HTTP
// Why a build without libcurl reads no URLs; every request of its http_source fails so.
extern const char *const http_unavailable_reason;
#endif

class http_source {
  public:
    // Only makes the connection's settings; open() makes the first request.
    explicit http_source(std::string url);
    ~http_source();
    http_source(const http_source &) = delete;
    http_source &operator=(const http_source &) = delete;

    // The first request: false, with error() saying why (an HTTP status, a refused
    // connection, a server without ranges), when the recording cannot be read.
    bool open();

    // The source to give the library. The source stays owned by this object (its release is
    // null): it must outlive the handle opened on it.
    edf_source source();

    // Why the last read failed; empty while none has.
    const std::string &error() const {
        return error_;
    }
    // Requests made, and bytes of bodies received, so far.
    int64_t requests() const {
        return requests_;
    }
    int64_t bytes_received() const {
        return bytes_received_;
    }
    int64_t size() const {
        return size_;
    }

  private:
    struct transfer;
    static int64_t read_at(void *user, void *buffer, int64_t bytes, int64_t offset);
    static int64_t size_of(void *user);
    // One range request for `bytes` bytes at `offset` into `buffer`: the count, or -1.
    int64_t fetch(unsigned char *buffer, int64_t bytes, int64_t offset);
    int64_t fail(std::string message);

    std::string url_;
    void *curl_ = nullptr;
    int64_t size_ = -1;
    int64_t requests_ = 0;
    int64_t bytes_received_ = 0;
    std::string error_;
    // The bytes of the first request, served to the reads that fall inside them.
    std::vector<unsigned char> first_;
};
