// Range requests through one libcurl easy handle per recording. Every answer is checked
// before its bytes are handed on: the library only ever sees bytes that are the recording's
// own, at the offset it asked for.
#include "http_source.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int64_t first_request_bytes = 64 * 1024;
constexpr long default_timeout_seconds = 30;

long timeout_seconds() {
    const char *text = std::getenv("EDFINFO_HTTP_TIMEOUT");
    if (text != nullptr) {
        long seconds = 0;
        const char *end = text + std::strlen(text);
        const auto [ptr, ec] = std::from_chars(text, end, seconds);
        if (ec == std::errc() && ptr == end && seconds > 0 && seconds <= 3600) {
            return seconds;
        }
    }
    return default_timeout_seconds;
}

bool starts_with_nocase(const char *text, std::size_t length, const char *prefix) {
    const std::size_t n = std::strlen(prefix);
    if (length < n) {
        return false;
    }
    for (std::size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// "bytes S-E/T" (T a number or "*", -1 then), or "bytes */T" (S and E -1).
struct content_range {
    bool present = false;
    int64_t first = -1;
    int64_t last = -1;
    int64_t total = -1;
};

bool parse_number(std::string_view &text, int64_t *value) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    if (ec != std::errc() || *value < 0) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
    return true;
}

content_range parse_content_range(std::string_view text) {
    content_range range;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    if (text.substr(0, 6) != "bytes ") {
        return range;
    }
    text.remove_prefix(6);
    if (!text.empty() && text.front() == '*') {
        text.remove_prefix(1);
    } else if (!parse_number(text, &range.first) || text.empty() || text.front() != '-') {
        return range;
    } else {
        text.remove_prefix(1);
        if (!parse_number(text, &range.last) || range.last < range.first) {
            return range;
        }
    }
    if (text.empty() || text.front() != '/') {
        return range;
    }
    text.remove_prefix(1);
    if (text == "*") {
        range.present = range.first >= 0;
        return range;
    }
    if (!parse_number(text, &range.total) || !text.empty()) {
        return range;
    }
    range.present = range.first < 0 || range.last < range.total;
    return range;
}

std::string range_text(int64_t first, int64_t last) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last);
}

} // namespace

bool is_remote_url(const std::string &name) {
    return starts_with_nocase(name.data(), name.size(), "http://") ||
           starts_with_nocase(name.data(), name.size(), "https://");
}

// What one request brings: the body into the caller's buffer (never past it), the status
// line's reason and the Content-Range of the last answer (after redirects).
struct http_source::transfer {
    unsigned char *buffer = nullptr;
    int64_t capacity = 0;
    int64_t received = 0;
    bool too_long = false;
    std::string reason;
    content_range range;

    static std::size_t on_body(char *data, std::size_t size, std::size_t count, void *user) {
        auto *t = static_cast<transfer *>(user);
        const int64_t n = static_cast<int64_t>(size * count);
        if (n > t->capacity - t->received) {
            t->too_long = true;
            return 0; // ends the transfer: more than was asked for is never read
        }
        std::memcpy(t->buffer + t->received, data, static_cast<std::size_t>(n));
        t->received += n;
        return static_cast<std::size_t>(n);
    }

    static std::size_t on_header(char *data, std::size_t size, std::size_t count, void *user) {
        auto *t = static_cast<transfer *>(user);
        const std::size_t n = size * count;
        if (starts_with_nocase(data, n, "http/")) {
            // A new answer (after a redirect, or a 100 Continue): forget the last one's.
            t->range = content_range{};
            std::string_view line(data, n);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
                line.remove_suffix(1);
            }
            const std::size_t code = line.find(' ');
            const std::size_t reason =
                code == std::string_view::npos ? std::string_view::npos : line.find(' ', code + 1);
            t->reason = reason == std::string_view::npos ? std::string()
                                                         : std::string(line.substr(reason + 1));
        } else if (starts_with_nocase(data, n, "content-range:")) {
            std::string_view value(data + 14, n - 14);
            while (!value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
            t->range = parse_content_range(value);
        }
        return n;
    }
};

http_source::http_source(std::string url) : url_(std::move(url)) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL *curl = curl_easy_init();
    curl_ = curl;
    if (curl == nullptr) {
        return;
    }
    const long timeout = timeout_seconds();
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 8L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout);
    // A transfer that moves less than a byte a second for `timeout` seconds has stalled.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeout);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "edfinfo");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &transfer::on_body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &transfer::on_header);
}

http_source::~http_source() {
    if (curl_ != nullptr) {
        curl_easy_cleanup(static_cast<CURL *>(curl_));
    }
}

bool http_source::open() {
    if (curl_ == nullptr) {
        error_ = "cannot start an HTTP transfer";
        return false;
    }
    first_.resize(first_request_bytes);
    const int64_t got = fetch(first_.data(), first_request_bytes, 0);
    if (got < 0) {
        first_.clear();
        return false;
    }
    first_.resize(static_cast<std::size_t>(got));
    return true;
}

edf_source http_source::source() {
    edf_source s{};
    s.read_at = &http_source::read_at;
    s.size = &http_source::size_of;
    s.release = nullptr;
    s.user = this;
    return s;
}

int64_t http_source::size_of(void *user) {
    return static_cast<http_source *>(user)->size_;
}

int64_t http_source::read_at(void *user, void *buffer, int64_t bytes, int64_t offset) {
    auto *self = static_cast<http_source *>(user);
    if (bytes <= 0 || offset < 0) {
        return bytes == 0 ? 0 : -1;
    }
    const auto held = static_cast<int64_t>(self->first_.size());
    const bool all_held = self->size_ >= 0 && held >= self->size_;
    if (offset < held && (offset + bytes <= held || all_held)) {
        const int64_t n = std::min(bytes, held - offset);
        std::memcpy(buffer, self->first_.data() + offset, static_cast<std::size_t>(n));
        return n;
    }
    if (all_held && offset >= held) {
        return 0;
    }
    return self->fetch(static_cast<unsigned char *>(buffer), bytes, offset);
}

int64_t http_source::fail(std::string message) {
    error_ = std::move(message);
    return -1;
}

int64_t http_source::fetch(unsigned char *buffer, int64_t bytes, int64_t offset) {
    if (size_ >= 0) {
        if (offset >= size_) {
            return 0;
        }
        bytes = std::min(bytes, size_ - offset);
    }
    const int64_t last = offset + bytes - 1;
    auto *curl = static_cast<CURL *>(curl_);
    transfer t;
    t.buffer = buffer;
    t.capacity = bytes;
    const std::string range = std::to_string(offset) + "-" + std::to_string(last);
    char curl_error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
    requests_++;
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    bytes_received_ += t.received;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const std::string asked = range_text(offset, last);

    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && t.too_long)) {
        if (result == CURLE_PARTIAL_FILE || (status == 206 && t.received < bytes)) {
            return fail("the connection ended after " + std::to_string(t.received) + " of " +
                        std::to_string(bytes) + " bytes (" + asked + ")");
        }
        const std::string detail = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(result);
        return fail(detail + " (" + asked + ")");
    }
    const std::string answer =
        "HTTP " + std::to_string(status) + (t.reason.empty() ? "" : " " + t.reason);
    if (status == 200) {
        // The server ignores ranges. Its whole answer is usable only when it is the whole
        // recording and fits what was asked for (a small file asked for from its start).
        if (offset == 0 && !t.too_long && (size_ < 0 || t.received == size_)) {
            if (size_ < 0) {
                size_ = t.received;
            }
            return t.received;
        }
        return fail("the server does not answer range requests (" + answer + " for " + asked + ")");
    }
    if (status == 416 && size_ < 0 && offset == 0 && t.range.present && t.range.total == 0) {
        size_ = 0; // an empty file
        return 0;
    }
    if (status != 206) {
        return fail(answer + " for " + asked);
    }
    const content_range &r = t.range;
    if (!r.present || r.first != offset || r.last > last || t.too_long ||
        t.received != r.last - r.first + 1) {
        if (t.too_long || (r.present && r.first == offset && t.received > r.last - r.first)) {
            return fail("the server sent other bytes than asked for (" + asked + ")");
        }
        if (r.present && r.first == offset && r.last <= last) {
            return fail("the connection ended after " + std::to_string(t.received) + " of " +
                        std::to_string(r.last - r.first + 1) + " bytes (" + asked + ")");
        }
        return fail("the server sent other bytes than asked for (" + asked + ")");
    }
    if (r.total >= 0) {
        if (size_ < 0) {
            size_ = r.total;
        } else if (r.total != size_) {
            return fail("the file changed its size while it was read (" + std::to_string(size_) +
                        " bytes, now " + std::to_string(r.total) + ")");
        }
    }
    // Fewer bytes than asked for only where the file ends.
    if (t.received < bytes && (size_ < 0 || r.last + 1 != size_)) {
        return fail("the server sent " + std::to_string(t.received) + " of " +
                    std::to_string(bytes) + " bytes before the file's end (" + asked + ")");
    }
    return t.received;
}
