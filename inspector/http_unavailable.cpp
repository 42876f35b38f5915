// The remote source of a build without libcurl (the MinGW cross-build): names are still told
// apart as URLs, so that a URL is refused with the reason instead of being taken for a file,
// and every request fails with that reason.
#include "http_source.h"

#include <cctype>
#include <utility>

const char *const http_unavailable_reason = "this build reads no URLs (built without libcurl)";

namespace {

bool starts_with_nocase(const std::string &text, const char *prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; i++) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool is_remote_url(const std::string &name) {
    return starts_with_nocase(name, "http://") || starts_with_nocase(name, "https://");
}

http_source::http_source(std::string url) : url_(std::move(url)) {}

http_source::~http_source() = default;

bool http_source::open() {
    error_ = http_unavailable_reason;
    return false;
}

edf_source http_source::source() {
    edf_source s{};
    s.user = this;
    s.read_at = read_at;
    s.size = size_of;
    return s;
}

int64_t http_source::read_at(void *user, void *, int64_t, int64_t) {
    return static_cast<http_source *>(user)->fail(http_unavailable_reason);
}

int64_t http_source::size_of(void *) {
    return -1;
}

int64_t http_source::fetch(unsigned char *, int64_t, int64_t) {
    return fail(http_unavailable_reason);
}

int64_t http_source::fail(std::string message) {
    error_ = std::move(message);
    return -1;
}
