// Writer throughput against bare loops that do only the unavoidable work:
// - the sweep recording (300 records of 8192 samples, computed, converted, written, closed)
//   against a loop that computes the same sin and pow values and nothing else;
// - physical samples of a 64-signal file (512 samples per record, 600 records) against a loop
//   that converts the same doubles to 16-bit little-endian samples and writes them with fwrite;
// - 16-bit samples of the same file, over the whole digital range and over a narrower one;
// - the cost of edf_set_sync_interval: an 8-signal recording (256 samples per record, 200
//   records, an annotation every tenth record) with fsync never, after every record and after
//   every tenth.
#include "recording/edf.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string scratch_path(const char *name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("recording_bench_") + std::to_string(getpid()) + "_" + name))
        .string();
}

constexpr int sweep_samples = 8192;
constexpr int sweep_records = 300;

// One sample of the sweep law, advancing phase and frequency as the program does.
inline double sweep_step(long long d, double &phase, double &frequency) {
    phase += 6.283185307179586 / (8192.0 / frequency);
    const double sample = std::sin(phase) * 200.0;
    frequency =
        std::pow(10.0, ((double)d + 6016.156670746634) / 2463616.1566707464 * 3.6122539060964374);
    return sample;
}

// Record i of the sweep into `samples`.
void compute_record(int i, std::vector<double> &samples, double &phase, double &frequency) {
    for (int j = 0; j < sweep_samples; j++) {
        samples[j] = sweep_step(static_cast<long long>(sweep_samples) * i + j, phase, frequency);
    }
}

void BM_SweepBareMath(benchmark::State &state) {
    std::vector<double> samples(sweep_samples);
    for (auto _ : state) {
        double phase = 0.0;
        double frequency = 1.020519089405171;
        for (int i = 0; i < sweep_records; i++) {
            compute_record(i, samples, phase, frequency);
            benchmark::DoNotOptimize(samples.data());
            benchmark::ClobberMemory();
        }
    }
}
BENCHMARK(BM_SweepBareMath)->Unit(benchmark::kMillisecond);

void BM_SweepRecording(benchmark::State &state) {
    const std::string path = scratch_path("sweep.edf");
    std::vector<double> samples(sweep_samples);
    for (auto _ : state) {
        const int handle = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
        edf_set_samplefrequency(handle, 0, sweep_samples);
        edf_set_digital_maximum(handle, 0, 32767);
        edf_set_digital_minimum(handle, 0, -32768);
        edf_set_physical_maximum(handle, 0, 400.0);
        edf_set_physical_minimum(handle, 0, -400.0);
        edf_set_physical_dimension(handle, 0, "uV");
        edf_set_label(handle, 0, "sweep");
        edfwrite_annotation_latin1_us(handle, 0, -1, "Recording starts");
        double phase = 0.0;
        double frequency = 1.020519089405171;
        for (int i = 0; i < sweep_records; i++) {
            compute_record(i, samples, phase, frequency);
            if (edfwrite_physical_samples(handle, samples.data()) != 0) {
                state.SkipWithError("write failed");
                break;
            }
            if (i % 10 == 0) {
                char text[64];
                std::snprintf(text, sizeof text, "%fHz", frequency);
                edfwrite_annotation_latin1_us(handle, i * 1000000LL, -1, text);
            }
        }
        edfwrite_annotation_latin1_us(handle, 300000000LL, -1, "Recording ends");
        if (edfclose_file(handle) != 0) {
            state.SkipWithError("close failed");
        }
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_SweepRecording)->Unit(benchmark::kMillisecond);

constexpr int many_signals = 64;
constexpr int many_samples = 512;
constexpr int many_records = 600;

std::vector<double> many_signal_record() {
    std::vector<double> values(static_cast<size_t>(many_signals) * many_samples);
    for (size_t i = 0; i < values.size(); i++) {
        values[i] = 900.0 * std::sin(0.001 * static_cast<double>(i));
    }
    return values;
}

constexpr double many_bytes = 2.0 * many_signals * many_samples * many_records;

void BM_ManySignalsBareFwrite(benchmark::State &state) {
    const std::string path = scratch_path("bare.raw");
    const std::vector<double> values = many_signal_record();
    std::vector<unsigned char> bytes(values.size() * 2);
    const double bit_value = 2000.0 / 65535.0;
    for (auto _ : state) {
        FILE *file = std::fopen(path.c_str(), "wb");
        for (int r = 0; r < many_records; r++) {
            for (size_t i = 0; i < values.size(); i++) {
                const int d = static_cast<int>(values[i] / bit_value);
                bytes[2 * i] = static_cast<unsigned char>(d);
                bytes[2 * i + 1] = static_cast<unsigned char>(d >> 8);
            }
            std::fwrite(bytes.data(), 1, bytes.size(), file);
        }
        std::fclose(file);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * many_bytes));
    std::filesystem::remove(path);
}
BENCHMARK(BM_ManySignalsBareFwrite)->Unit(benchmark::kMillisecond);

void BM_ManySignalsPhysicalWrite(benchmark::State &state) {
    const std::string path = scratch_path("many.edf");
    const std::vector<double> values = many_signal_record();
    for (auto _ : state) {
        const int handle = edfopen_file_writeonly_with_params(
            path.c_str(), EDF_FILETYPE_EDFPLUS, many_signals, many_samples, 1000.0, "uV");
        for (int r = 0; r < many_records; r++) {
            for (int s = 0; s < many_signals; s++) {
                edfwrite_physical_samples(handle, values.data() + s * many_samples);
            }
        }
        if (edfclose_file(handle) != 0) {
            state.SkipWithError("close failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * many_bytes));
    std::filesystem::remove(path);
}
BENCHMARK(BM_ManySignalsPhysicalWrite)->Unit(benchmark::kMillisecond);

// 16-bit samples written per signal. Argument 0: the signals use the whole 16-bit range, and
// the caller's array goes to the file as it is. Argument 1: a narrower digital range, so every
// sample is clipped, into the writer's scratch buffer (the caller's array is left untouched).
void BM_ManySignalsShortWrite(benchmark::State &state) {
    const std::string path = scratch_path("short.edf");
    const bool narrow = state.range(0) != 0;
    const std::vector<double> physical = many_signal_record();
    std::vector<short> values(physical.size());
    for (size_t i = 0; i < values.size(); i++) {
        values[i] = static_cast<short>(physical[i] * 30.0);
    }
    for (auto _ : state) {
        const int handle = edfopen_file_writeonly_with_params(
            path.c_str(), EDF_FILETYPE_EDFPLUS, many_signals, many_samples, 1000.0, "uV");
        for (int s = 0; narrow && s < many_signals; s++) {
            edf_set_digital_maximum(handle, s, 20000);
            edf_set_digital_minimum(handle, s, -20000);
        }
        for (int r = 0; r < many_records; r++) {
            for (int s = 0; s < many_signals; s++) {
                edfwrite_digital_short_samples(handle, values.data() + s * many_samples);
            }
        }
        if (edfclose_file(handle) != 0) {
            state.SkipWithError("close failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * many_bytes));
    std::filesystem::remove(path);
}
BENCHMARK(BM_ManySignalsShortWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

constexpr int synced_signals = 8;
constexpr int synced_samples = 256;
constexpr int synced_records = 200;

void BM_SyncInterval(benchmark::State &state) {
    const std::string path = scratch_path("synced.edf");
    const std::vector<int> values(static_cast<size_t>(synced_signals) * synced_samples, 123);
    for (auto _ : state) {
        const int handle = edfopen_file_writeonly_with_params(
            path.c_str(), EDF_FILETYPE_EDFPLUS, synced_signals, synced_samples, 1000.0, "uV");
        edf_set_sync_interval(handle, static_cast<int>(state.range(0)));
        for (int r = 0; r < synced_records; r++) {
            if (edf_blockwrite_digital_samples(handle, values.data()) != 0) {
                state.SkipWithError("write failed");
                break;
            }
            if (r % 10 == 9) {
                edfwrite_annotation_utf8_us(handle, r * 1000000LL, -1, "mark");
            }
        }
        if (edfclose_file(handle) != 0) {
            state.SkipWithError("close failed");
        }
    }
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * synced_records,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::OneK::kIs1000);
    std::filesystem::remove(path);
}
BENCHMARK(BM_SyncInterval)->Arg(0)->Arg(1)->Arg(10)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
