// De-identification speed:
// - in place, the same work whatever the file's size (64 MiB and 1 GiB EDF+ files): only the
//   header and the first record's time-keeping annotation are read, 256 bytes written;
// - into a copy of the 1 GiB file, against `cp` of the same file: the plain copy (the data
//   records unchanged) and the copy that rewrites every annotation signal (texts dropped).
#include "recording/edf.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string scratch_path(const std::string &name) {
    return (std::filesystem::temp_directory_path() /
            ("recording_bench_" + std::to_string(getpid()) + "_" + name))
        .string();
}

constexpr int signals = 8;
constexpr int samples = 2048; // 8 x 2048 x 2 bytes + 120: about 32 KiB per one-second record

// An EDF+ file of about `mebibytes` MiB with a patient, a recording description and one
// annotation every ten records; made once per size and removed at exit.
const std::string &recording_of(int mebibytes) {
    static std::map<int, std::string> made;
    auto found = made.find(mebibytes);
    if (found != made.end()) {
        return found->second;
    }
    const std::string path = scratch_path("source_" + std::to_string(mebibytes) + ".edf");
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, signals);
    for (int s = 0; s < signals; s++) {
        edf_set_samplefrequency(h, s, samples);
        edf_set_digital_maximum(h, s, 32767);
        edf_set_digital_minimum(h, s, -32768);
        edf_set_physical_maximum(h, s, 1000.0);
        edf_set_physical_minimum(h, s, -1000.0);
    }
    edf_set_patientname(h, "Jane Doe");
    edf_set_patientcode(h, "MCH-0234567");
    edf_set_birthdate(h, 1951, 5, 2);
    edf_set_technician(h, "Tech Smith");
    edf_set_startdatetime(h, 2019, 3, 14, 10, 20, 30);
    const int record_bytes = signals * samples * 2 + 120;
    const long long records = static_cast<long long>(mebibytes) * 1048576 / record_bytes;
    std::vector<int> block(static_cast<size_t>(signals) * samples);
    for (long long r = 0; r < records; r++) {
        for (size_t i = 0; i < block.size(); i++) {
            block[i] = static_cast<int>((r * 31 + static_cast<long long>(i) * 7) % 60000) - 30000;
        }
        edf_blockwrite_digital_samples(h, block.data());
        if (r % 10 == 0) {
            edfwrite_annotation_utf8_us(h, r * 1000000, -1, "Sleep stage W");
        }
    }
    if (edfclose_file(h) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    // On disk before timing starts: otherwise the first fsync in place pays for writing the
    // whole new file.
    const int fd = open(path.c_str(), O_RDONLY);
    fsync(fd);
    close(fd);
    return made.emplace(mebibytes, path).first->second;
}

void remove_files() {
    std::error_code ignored;
    for (const auto &entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("recording_bench_" + std::to_string(getpid()) + "_", 0) == 0) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

void BM_AnonymizeInPlace(benchmark::State &state) {
    const std::string &source = recording_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (edf_anonymize_file(source.c_str(), nullptr, 0) != 0) {
            state.SkipWithError("de-identification failed");
            break;
        }
    }
}
BENCHMARK(BM_AnonymizeInPlace)
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);

void BM_AnonymizeCopy(benchmark::State &state) {
    const std::string &source = recording_of(1024);
    const std::string copy = scratch_path("copy.edf");
    const int flags = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (edf_anonymize_file(source.c_str(), copy.c_str(), flags) != 0) {
            state.SkipWithError("de-identification failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(source)));
}
BENCHMARK(BM_AnonymizeCopy)
    ->Arg(0)
    ->Arg(EDF_ANON_DROP_ANNOTATION_TEXTS)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

void BM_CopyWithCp(benchmark::State &state) {
    const std::string &source = recording_of(1024);
    const std::string copy = scratch_path("cp.edf");
    const std::string command = "cp '" + source + "' '" + copy + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("cp failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(source)));
}
BENCHMARK(BM_CopyWithCp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_files();
    return 0;
}
