// Sample k of n goes to column floor(k × width / n). With n >= width every column receives
// at least one sample, so an envelope has no gaps.
#include "column_envelope.h"

#include <cmath>
#include <limits>

column_envelope::column_envelope(int64_t sample_count, int width)
    : sample_count_(sample_count < 0 ? 0 : sample_count), width_(width < 1 ? 1 : width),
      per_sample_(sample_count_ <= width_), lowest_(std::numeric_limits<double>::infinity()),
      highest_(-std::numeric_limits<double>::infinity()) {
    const std::size_t slots = static_cast<std::size_t>(per_sample_ ? sample_count_ : width_);
    minimum_.assign(slots, std::numeric_limits<double>::infinity());
    maximum_.assign(slots, -std::numeric_limits<double>::infinity());
}

void column_envelope::add(int64_t k, double value) {
    if (k < 0 || k >= sample_count_ || !std::isfinite(value)) {
        return;
    }
    // k < sample_count_ and width_ is at most an int, so the product stays far inside 64 bits
    // for any run of samples a file can hold.
    const int64_t slot = per_sample_ ? k : k * width_ / sample_count_;
    const auto i = static_cast<std::size_t>(slot);
    if (value < minimum_[i]) {
        minimum_[i] = value;
    }
    if (value > maximum_[i]) {
        maximum_[i] = value;
    }
    if (value < lowest_) {
        lowest_ = value;
    }
    if (value > highest_) {
        highest_ = value;
    }
}
