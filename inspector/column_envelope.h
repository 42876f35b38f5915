// Reduces a run of samples to what a plot of a given width can show: with no more samples than
// pixel columns, every sample; with more, the smallest and the largest value of the samples
// that fall into each column. Memory depends on the width only, never on the run's length.
#pragma once

#include <cstdint>
#include <vector>

class column_envelope {
  public:
    // A run of sample_count samples to be drawn into width columns.
    column_envelope(int64_t sample_count, int width);

    // Takes sample k (0 to sample_count - 1) of the run. Values that are not finite are
    // left out.
    void add(int64_t k, double value);

    // True when there is one slot per sample, false when there is one slot per column.
    bool per_sample() const {
        return per_sample_;
    }
    int slot_count() const {
        return static_cast<int>(minimum_.size());
    }
    // False for a slot that received no finite value.
    bool has_value(int slot) const {
        return minimum_[slot] <= maximum_[slot];
    }
    double minimum(int slot) const {
        return minimum_[slot];
    }
    double maximum(int slot) const {
        return maximum_[slot];
    }
    // The range of all values taken; lowest > highest when none was taken.
    double lowest() const {
        return lowest_;
    }
    double highest() const {
        return highest_;
    }

  private:
    int64_t sample_count_;
    int width_;
    bool per_sample_;
    std::vector<double> minimum_;
    std::vector<double> maximum_;
    double lowest_;
    double highest_;
};
