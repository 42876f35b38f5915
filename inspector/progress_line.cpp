// The progress line: carriage return, the text, and "erase to the end of the line", so that a
// shorter text leaves nothing of a longer one.
#include "progress_line.h"

#include <cmath>
#include <cstdio>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool error_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

} // namespace

progress_line::progress_line(std::size_t total, bool wanted)
    : total_(total), active_(wanted && total > 1 && error_is_terminal()),
      start_(std::chrono::steady_clock::now()), drawn_(start_) {}

progress_line::~progress_line() {
    finish();
}

std::string progress_line::text(std::size_t done, std::size_t total, double seconds) {
    const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    char line[160];
    int length = std::snprintf(line, sizeof line, "%zu/%zu files", done, total);
    if (rate > 0.0 && length > 0) {
        const double left = static_cast<double>(total - done) / rate;
        const long long whole = static_cast<long long>(std::ceil(left));
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      ", %.1f files/s, %lld:%02lld%s left", rate, whole / 60, whole % 60,
                      whole >= 3600 ? " (m:s)" : "");
    }
    return line;
}

void progress_line::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "\r%s\033[K", text(done_, total_, seconds).c_str());
    std::fflush(stderr);
    shown_ = true;
    drawn_ = std::chrono::steady_clock::now();
}

void progress_line::clear() {
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

void progress_line::step() {
    done_++;
    if (!active_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!shown_ || now - drawn_ >= std::chrono::milliseconds(100) || done_ == total_) {
        draw();
    }
}

void progress_line::finish() {
    clear();
    active_ = false;
}
