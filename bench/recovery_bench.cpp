// Recovery benchmark: edf_recover_file on files of about 1 GB left by a writer that died (the
// record count "-1" and a partial record at the end). Recovery rewrites the count and cuts the
// tail, but first checks the file as the reader does, and that check reads the annotation
// signals of every record: of records under 16 KB the check reads the whole file, of larger
// ones a small read per record, and of a file without annotation signals only the header.
//   Arg 0: EDF+, 8 signals of 256 samples (records of 4216 bytes, about 255000 of them)
//   Arg 1: EDF+, 32 signals of 1024 samples (records of 65656 bytes, about 16400 of them)
//   Arg 2: EDF, the same records as Arg 0 without the annotation signal (the writer makes
//          EDF+ only: this header is written here, the records are zeros)
// The files are written when their benchmark first runs, into a temporary directory. A file
// just left by a crash of the program is in the page cache (the "warm" runs); one left by a
// crash of the machine is not, and the "cold" runs evict the file's pages before each
// recovery, so that the check's reads come from the disk.
#include "recording/edf.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t target_bytes = int64_t{1} << 30;

std::filesystem::path work_dir;
std::map<int64_t, std::string> written;

struct shape {
    int type;
    int signals;
    int samples;
};

const shape shapes[] = {
    {EDF_FILETYPE_EDFPLUS, 8, 256},
    {EDF_FILETYPE_EDFPLUS, 32, 1024},
    {EDF_FILETYPE_EDF, 8, 256},
};

std::string field(const std::string &text, size_t width) {
    return text + std::string(width - text.size(), ' ');
}

// A plain EDF file of `records` records of the shape's signals, all samples 0.
bool write_plain(const std::string &path, const shape &s, int64_t records) {
    const int ns = s.signals;
    std::string h = field("0", 8) + field("X X X X", 80) + field("Startdate X X X X", 80) +
                    "10.12.26" + "10.00.00" + field(std::to_string(256 * (ns + 1)), 8) +
                    field("", 44) + field(std::to_string(records), 8) + field("1", 8) +
                    field(std::to_string(ns), 4);
    const std::pair<const char *, size_t> fields[] = {
        {"EEG", 16},   {"", 80},     {"uV", 8}, {"-400", 8},  {"400", 8},
        {"-32768", 8}, {"32767", 8}, {"", 80},  {nullptr, 8}, {"", 32}};
    for (const auto &[text, width] : fields) {
        for (int i = 0; i < ns; i++) {
            h += field(text != nullptr ? text : std::to_string(s.samples), width);
        }
    }
    FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(h.data(), 1, h.size(), f) == h.size();
    if (f != nullptr) {
        ok = std::fclose(f) == 0 && ok;
    }
    const int64_t size = static_cast<int64_t>(h.size()) + records * 2 * ns * s.samples;
    return ok && truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

// Writes a complete file of about 1 GB of the given shape; the empty string on failure.
std::string write_file(int64_t arg) {
    const shape &s = shapes[arg];
    const std::string path = (work_dir / ("recover" + std::to_string(arg) + ".edf")).string();
    if (s.type == EDF_FILETYPE_EDF) {
        return write_plain(path, s, target_bytes / (2 * s.signals * s.samples)) ? path : "";
    }
    const int h = edfopen_file_writeonly(path.c_str(), s.type, s.signals);
    if (h < 0) {
        return "";
    }
    for (int i = 0; i < s.signals; i++) {
        edf_set_samplefrequency(h, i, s.samples);
        edf_set_digital_maximum(h, i, 32767);
        edf_set_digital_minimum(h, i, -32768);
        edf_set_physical_maximum(h, i, 400.0);
        edf_set_physical_minimum(h, i, -400.0);
    }
    std::vector<int> samples(static_cast<size_t>(s.samples));
    for (size_t i = 0; i < samples.size(); i++) {
        samples[i] = static_cast<int>(i * 37 % 2000) - 1000;
    }
    const int64_t record_bytes = int64_t{2} * s.signals * s.samples;
    for (int64_t r = 0; r * record_bytes < target_bytes; r++) {
        if (s.type == EDF_FILETYPE_EDFPLUS && r % 60 == 0) {
            edfwrite_annotation_utf8_us(h, r * 1000000, -1, "minute");
        }
        for (int i = 0; i < s.signals; i++) {
            if (edfwrite_digital_samples(h, samples.data()) != 0) {
                return "";
            }
        }
    }
    return edfclose_file(h) == 0 ? path : "";
}

// Makes the complete file look as a dead writer leaves it: count "-1", part of a record more;
// when `cold`, its pages are then written out and dropped from the page cache.
bool unfinish(const std::string &path, bool cold) {
    struct stat status;
    FILE *f = std::fopen(path.c_str(), "r+b");
    bool ok = f != nullptr && stat(path.c_str(), &status) == 0 &&
              std::fseek(f, 236, SEEK_SET) == 0 && std::fwrite("-1      ", 1, 8, f) == 8 &&
              std::fseek(f, 0, SEEK_END) == 0 && std::fwrite("partial record", 1, 14, f) == 14;
    if (f != nullptr) {
        ok = (!cold || (std::fflush(f) == 0 && fdatasync(fileno(f)) == 0 &&
                        posix_fadvise(fileno(f), 0, 0, POSIX_FADV_DONTNEED) == 0)) &&
             ok;
        ok = std::fclose(f) == 0 && ok;
    }
    return ok;
}

void recover(benchmark::State &state, bool cold) {
    std::string &path = written[state.range(0)];
    if (path.empty()) {
        path = write_file(state.range(0));
    }
    if (path.empty()) {
        state.SkipWithError("could not write the file");
        return;
    }
    int64_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool ready = unfinish(path, cold);
        state.ResumeTiming();
        records = edf_recover_file(path.c_str());
        if (!ready || records <= 0) {
            state.SkipWithError("recovery failed");
            return;
        }
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
}

void BM_RecoverOneGigabyteWarm(benchmark::State &state) {
    recover(state, false);
}
void BM_RecoverOneGigabyteCold(benchmark::State &state) {
    recover(state, true);
}

} // namespace

BENCHMARK(BM_RecoverOneGigabyteWarm)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RecoverOneGigabyteCold)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    work_dir =
        std::filesystem::temp_directory_path() / ("edf_recovery_bench_" + std::to_string(getpid()));
    std::filesystem::create_directory(work_dir);
    benchmark::RunSpecifiedBenchmarks();
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
    return 0;
}
