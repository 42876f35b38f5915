// A viewer's reads of a recording, local or remote: opens it lazily, then reads WINDOWS
// windows of SECONDS seconds of every ordinary signal, one signal per call, scrolling forward
// from START. For each window it prints one line: the window's start, a hash of its digital
// samples, and (for a URL) the requests and body bytes that the window cost, the first window
// with the open. The HTTP tests and the remote benchmark compare the hashes with a local read
// and the costs with the server's log.
//   remote_scroll PATH_OR_URL START SECONDS WINDOWS
#include "http_source.h"
#include "recording/edf.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

uint64_t hash_samples(uint64_t hash, const std::vector<int> &samples) {
    for (const int value : samples) { // FNV-1a over the values' bits
        hash = (hash ^ static_cast<uint32_t>(value)) * 1099511628211ULL;
    }
    return hash;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: remote_scroll PATH_OR_URL START SECONDS WINDOWS\n");
        return 2;
    }
    const std::string name = argv[1];
    const double start = std::atof(argv[2]);
    const double seconds = std::atof(argv[3]);
    const int windows = std::atoi(argv[4]);
    auto header = std::make_unique<edf_header_info>();
    std::unique_ptr<http_source> remote;
    int opened = -1;
    if (is_remote_url(name)) {
        remote = std::make_unique<http_source>(name);
        if (!remote->open()) {
            std::fprintf(stderr, "remote_scroll: %s\n", remote->error().c_str());
            return 1;
        }
        const edf_source source = remote->source();
        opened = edfopen_source_readonly(&source, name.c_str(), header.get(),
                                         EDF_READ_NO_ANNOTATIONS, 0);
    } else {
        opened = edfopen_file_readonly(name.c_str(), header.get(), EDF_READ_NO_ANNOTATIONS);
    }
    if (opened != 0) {
        std::fprintf(stderr, "remote_scroll: cannot open %s (%d) %s\n", name.c_str(),
                     header->filetype, remote ? remote->error().c_str() : "");
        return 1;
    }
    const double record_seconds =
        static_cast<double>(header->datarecord_duration) / EDF_TIME_DIMENSION;
    int64_t requests = 0;
    int64_t bytes = 0;
    int status = 0;
    for (int w = 0; w < windows && status == 0; w++) {
        const double from = start + w * seconds;
        uint64_t hash = 1469598103934665603ULL;
        for (int s = 0; s < header->ordinary_signal_count && status == 0; s++) {
            const double rate = header->signals[s].samples_per_record / record_seconds;
            const auto first = static_cast<int64_t>(from * rate);
            const auto count = static_cast<int>(seconds * rate);
            std::vector<int> samples(static_cast<std::size_t>(count));
            if (edfseek(header->handle, s, first, EDFSEEK_SET) != first ||
                edfread_digital_samples(header->handle, s, count, samples.data()) != count) {
                std::fprintf(stderr, "remote_scroll: read failed at %g s, signal %d %s\n", from, s,
                             remote ? remote->error().c_str() : "");
                status = 1;
            }
            hash = hash_samples(hash, samples);
        }
        if (status == 0) {
            const int64_t r = remote ? remote->requests() : 0;
            const int64_t b = remote ? remote->bytes_received() : 0;
            std::printf("%.3f %016" PRIx64 " %" PRId64 " %" PRId64 "\n", from, hash, r - requests,
                        b - bytes);
            requests = r;
            bytes = b;
        }
    }
    edfclose_file(header->handle);
    return status;
}
