// What one file's work prints, kept in memory until it is that file's turn to be printed:
// the per-file work of a run over many files runs on several threads at once, and its output
// must come out in the order of the files.
#pragma once

#include <cstdio>
#include <string>

// The texts for standard output and standard error, and whether the file's work succeeded.
struct file_output {
    std::string out;
    std::string err;
    bool ok = true;
};

// Two streams in memory, for the functions that print to a FILE *. When memory for them
// cannot be had, what is printed goes to /dev/null and the file's work counts as failed.
class captured_output {
  public:
    captured_output();
    ~captured_output();
    captured_output(const captured_output &) = delete;
    captured_output &operator=(const captured_output &) = delete;

    std::FILE *out() const {
        return out_;
    }
    std::FILE *err() const {
        return err_;
    }
    // Closes the streams and gives what was printed to them.
    file_output take(bool ok);

  private:
    std::FILE *out_ = nullptr;
    std::FILE *err_ = nullptr;
    char *out_text_ = nullptr;
    char *err_text_ = nullptr;
    std::size_t out_size_ = 0;
    std::size_t err_size_ = 0;
    bool lost_ = false;
};

// Prints one file's output: standard output first (flushed), then standard error.
void print_file_output(const file_output &output);
