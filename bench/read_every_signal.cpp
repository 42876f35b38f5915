// Reads every ordinary signal of one file whole as physical values with the record read (all
// signals over all records in one call) and prints the best time of some repetitions, in
// seconds. The C side of bench/python_bench.py, which runs it on the same
// files as the Python readers; open and close are timed with the reads, as there.
//
//     read_every_signal FILE [REPETITIONS]
#include "recording/edf.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <vector>

namespace {

// Open, read every signal into one block of memory (huge pages asked for, as NumPy does for
// large arrays), close. Returns false when a call fails.
bool read_file(const char *path, edf_header_info *header) {
    if (edfopen_file_readonly(path, header, EDF_READ_ALL_ANNOTATIONS) != 0) {
        return false;
    }
    int64_t total = 0;
    for (int s = 0; s < header->ordinary_signal_count; s++) {
        total += header->signals[s].samples_in_file;
    }
    constexpr size_t huge_page = size_t{2} << 20;
    const size_t bytes =
        (static_cast<size_t>(total) * sizeof(double) + huge_page - 1) / huge_page * huge_page;
    void *block = bytes > 0 ? std::aligned_alloc(huge_page, bytes) : nullptr;
    if (block != nullptr) {
        madvise(block, bytes, MADV_HUGEPAGE);
    }
    bool ok = bytes == 0 || block != nullptr;
    const int count = header->ordinary_signal_count;
    double *out = static_cast<double *>(block);
    std::vector<int> signals(static_cast<size_t>(count));
    std::vector<double *> buffers(static_cast<size_t>(count));
    for (int s = 0; s < count; s++) {
        signals[static_cast<size_t>(s)] = s;
        buffers[static_cast<size_t>(s)] = out;
        out += header->signals[s].samples_in_file;
    }
    const int64_t records = header->datarecord_count;
    ok = ok && (count == 0 ||
                (records <= INT_MAX &&
                 edfread_physical_records(header->handle, 0, static_cast<int>(records), count,
                                          signals.data(), buffers.data()) == records));
    std::free(block);
    return edfclose_file(header->handle) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: read_every_signal FILE [REPETITIONS]\n");
        return 2;
    }
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    auto header = std::make_unique<edf_header_info>();
    double best = 1e30;
    for (int i = 0; i < repetitions; i++) {
        const auto begin = std::chrono::steady_clock::now();
        if (!read_file(argv[1], header.get())) {
            std::fprintf(stderr, "read_every_signal: cannot read %s\n", argv[1]);
            return 1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        best = took.count() < best ? took.count() : best;
    }
    std::printf("%.6f\n", best);
    return 0;
}
