// The progress of a long run over many files, on standard error when it is a terminal: files
// done, the rate, and the time left. Used from one thread (the one that prints the results).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class progress_line {
  public:
    // Shows progress only when `wanted`, standard error is a terminal and there is more than
    // one file.
    progress_line(std::size_t total, bool wanted);
    ~progress_line();
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

    // Takes the line off the terminal before other output is printed; the next step draws it
    // again.
    void clear();
    // One more file done; the line is drawn again at most ten times a second (at once when it
    // was cleared).
    void step();
    // Removes the line for good.
    void finish();

    // The line's text for `done` of `total` files after `seconds`: "120/2000 files, 45.1
    // files/s, 0:41 left".
    static std::string text(std::size_t done, std::size_t total, double seconds);

  private:
    void draw();

    std::size_t total_;
    std::size_t done_ = 0;
    bool active_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_;
};
