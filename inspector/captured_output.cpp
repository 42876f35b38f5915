// Per-file output in memory streams (POSIX open_memstream).
#include "captured_output.h"

#include <cstdlib>
#include <initializer_list>

captured_output::captured_output() {
    out_ = open_memstream(&out_text_, &out_size_);
    err_ = open_memstream(&err_text_, &err_size_);
    // Without memory for them, the output goes nowhere and the file counts as failed.
    for (std::FILE **stream : {&out_, &err_}) {
        if (*stream == nullptr) {
            lost_ = true;
            *stream = std::fopen("/dev/null", "w");
        }
    }
}

captured_output::~captured_output() {
    take(false);
}

file_output captured_output::take(bool ok) {
    file_output output;
    output.ok = ok && !lost_;
    if (out_ != nullptr && std::fclose(out_) == 0 && out_text_ != nullptr) {
        output.out.assign(out_text_, out_size_);
    }
    if (err_ != nullptr && std::fclose(err_) == 0 && err_text_ != nullptr) {
        output.err.assign(err_text_, err_size_);
    }
    std::free(out_text_);
    std::free(err_text_);
    out_ = err_ = nullptr;
    out_text_ = err_text_ = nullptr;
    if (lost_) {
        output.err += "edfinfo: no memory for the output of a file\n";
    }
    return output;
}

void print_file_output(const file_output &output) {
    if (!output.out.empty()) {
        std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    }
    if (!output.err.empty()) {
        std::fflush(stdout);
        std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    }
}
