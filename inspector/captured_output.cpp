// Per-file output in memory streams (POSIX open_memstream; on Windows, which has none,
// temporary files that the system deletes when they are closed).
#include "captured_output.h"

#include <cstdlib>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>

namespace {

std::FILE *temporary_stream() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"edi", 0, name) == 0) {
        return nullptr;
    }
    // "D": deleted when closed; "T": kept in memory where the system can.
    return _wfopen(name, L"w+bTD");
}

// The bytes written to `stream` so far, and the stream closed.
bool take_stream(std::FILE *stream, std::string &text) {
    bool ok = std::fflush(stream) == 0 && std::fseek(stream, 0, SEEK_SET) == 0;
    char buffer[4096];
    for (size_t n; ok && (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
        text.append(buffer, n);
    }
    ok = ok && std::ferror(stream) == 0;
    return std::fclose(stream) == 0 && ok;
}

} // namespace

captured_output::captured_output() {
    out_ = temporary_stream();
    err_ = temporary_stream();
    for (std::FILE **stream : {&out_, &err_}) {
        if (*stream == nullptr) {
            lost_ = true;
            *stream = std::fopen("NUL", "wb");
        }
    }
}

file_output captured_output::take(bool ok) {
    file_output output;
    output.ok = ok && !lost_;
    if (out_ != nullptr && !take_stream(out_, output.out)) {
        output.out.clear();
    }
    if (err_ != nullptr && !take_stream(err_, output.err)) {
        output.err.clear();
    }
    out_ = err_ = nullptr;
    if (lost_) {
        output.err += "edfinfo: no memory for the output of a file\n";
    }
    return output;
}
#else
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
#endif

captured_output::~captured_output() {
    take(false);
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
