// Reader benchmarks.
//
// Sample reading: all samples of one signal read as physical values through the library,
// against a bare loop that reads the same bytes with fread (one seek and one read per data
// record) and converts them. Files: one like the sweep program's (one signal of 8192 samples
// per record, 300 records) and one of 64 signals with different sample counts (about 19 MB).
//
// Whole recordings: every signal of the 64-signal file read as physical values into one
// buffer per signal, by one record read, and by the per-signal pattern (each signal read
// whole, one call each), against the bare loop that reads the file record by record with
// fread and converts every sample.
//
// Small sequential reads: a signal read 1000 samples per call against the same samples read
// in one call, on both files.
//
// Opening: opening a large file (about 200 MB, one annotation signal, records of 2 MB)
// against reading the whole file; and files whose records hold one sample each, opened and
// read at two sizes, to show the cost growing in proportion to the size.
//
// Discontinuous files: opening a file of about 1 GB written as EDF+D (a gap after every 50th
// record) against the same records written as EDF+C; the segment map is built during the
// open's pass over the annotation signals, so the two should cost about the same. These two
// files are written only when their benchmark runs.
//
// Three ways to open: the 64-signal file opened (all annotations) and read whole, by one
// record read and signal by signal, through its path, from memory and through callbacks over
// the same bytes in memory (the callbacks' block cache included). Memory and callbacks should
// cost about what the path costs.
//
// The other files are written with the library's writer into a temporary directory at start.
// At the end the program prints the ratios that matter, from the CPU times of the same run.
#include "recording/edf.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::filesystem::path work_dir;
std::string sweep_path, many_path, large_path, tiny_small_path, tiny_large_path;

constexpr int many_signals = 64;
constexpr int many_read_signal = 37;
constexpr int tiny_small_records = 250000;
constexpr int tiny_large_records = 1000000;

int spr_of_many(int s) {
    return 50 + (s * 97) % 950;
}

// Writes an EDF+ file of `records` records; signal s has spr[s] samples per record.
bool write_file(const std::string &path, const std::vector<int> &spr, int records) {
    const int ns = static_cast<int>(spr.size());
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, ns);
    if (h < 0) {
        return false;
    }
    for (int s = 0; s < ns; s++) {
        edf_set_samplefrequency(h, s, spr[static_cast<size_t>(s)]);
        edf_set_digital_maximum(h, s, 32767);
        edf_set_digital_minimum(h, s, -32768);
        edf_set_physical_maximum(h, s, 400.0);
        edf_set_physical_minimum(h, s, -400.0);
        edf_set_label(h, s, "bench");
    }
    std::vector<std::vector<double>> values(static_cast<size_t>(ns));
    for (int s = 0; s < ns; s++) {
        auto &v = values[static_cast<size_t>(s)];
        v.resize(static_cast<size_t>(spr[static_cast<size_t>(s)]));
        for (size_t i = 0; i < v.size(); i++) {
            v[i] = 300.0 * std::sin(0.001 * static_cast<double>(i) * (s + 1));
        }
    }
    edfwrite_annotation_utf8_us(h, 0, -1, "Recording starts");
    for (int r = 0; r < records; r++) {
        for (int s = 0; s < ns; s++) {
            if (edfwrite_physical_samples(h, values[static_cast<size_t>(s)].data()) != 0) {
                return false;
            }
        }
    }
    edfwrite_annotation_utf8_us(h, static_cast<int64_t>(records) * 1000000, -1, "Recording ends");
    return edfclose_file(h) == 0;
}

struct layout {
    int64_t header_size;
    int64_t record_size;
    int64_t buffer_offset;
    int spr;
    int64_t records;
    double bit_value;
    double offset;
};

// The layout of ordinary signal `signal` of a file written by write_file (annotation signal
// last), as the bare loop needs it.
layout layout_of(const std::vector<int> &spr, int signal, int64_t records) {
    layout l{};
    const int ns = static_cast<int>(spr.size());
    l.header_size = 256 * (ns + 2);
    l.record_size = 120;
    for (int s = 0; s < ns; s++) {
        if (s == signal) {
            l.buffer_offset = l.record_size - 120;
        }
        l.record_size += spr[static_cast<size_t>(s)] * 2;
    }
    l.spr = spr[static_cast<size_t>(signal)];
    l.records = records;
    l.bit_value = 800.0 / 65535.0;
    l.offset = 400.0 / l.bit_value - 32767;
    return l;
}

std::vector<int> many_spr() {
    std::vector<int> spr;
    for (int s = 0; s < many_signals; s++) {
        spr.push_back(spr_of_many(s));
    }
    return spr;
}

// The bare loop: per record one seek and one fread of the signal's run, then conversion.
void bare_read(benchmark::State &state, const std::string &path, const layout &l) {
    std::vector<unsigned char> bytes(static_cast<size_t>(l.spr) * 2);
    std::vector<double> out(static_cast<size_t>(l.spr));
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "rb");
        double sum = 0;
        for (int64_t r = 0; r < l.records; r++) {
            fseeko(f, l.header_size + r * l.record_size + l.buffer_offset, SEEK_SET);
            if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
                state.SkipWithError("short read");
                break;
            }
            for (int i = 0; i < l.spr; i++) {
                const int d = static_cast<int16_t>(bytes[2 * static_cast<size_t>(i)] |
                                                   bytes[2 * static_cast<size_t>(i) + 1] << 8);
                out[static_cast<size_t>(i)] = (static_cast<double>(d) + l.offset) * l.bit_value;
            }
            sum += out[0];
        }
        benchmark::DoNotOptimize(sum);
        std::fclose(f);
    }
    state.SetItemsProcessed(state.iterations() * l.records * l.spr);
}

// The library: open once, then per iteration rewind and read everything in calls of `chunk`
// samples.
void library_read(benchmark::State &state, const std::string &path, int signal, int chunk) {
    auto hdr = std::make_unique<edf_header_info>();
    if (edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_NO_ANNOTATIONS) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    const int64_t total = hdr->signals[signal].samples_in_file;
    std::vector<double> out(static_cast<size_t>(chunk));
    for (auto _ : state) {
        edfrewind(hdr->handle, signal);
        int64_t done = 0;
        while (done < total) {
            const int n = edfread_physical_samples(hdr->handle, signal, chunk, out.data());
            if (n <= 0) {
                state.SkipWithError("read failed");
                break;
            }
            done += n;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * total);
    edfclose_file(hdr->handle);
}

// Every signal of a file written by write_file (annotation signal last), one buffer per
// signal holding the whole recording.
struct whole_file {
    std::vector<int> spr;
    int64_t records;
    std::vector<std::vector<double>> values;
    std::vector<double *> bufs;
    std::vector<int> signals;

    whole_file(const std::vector<int> &samples_per_record, int64_t record_count)
        : spr(samples_per_record), records(record_count) {
        for (size_t s = 0; s < spr.size(); s++) {
            values.emplace_back(static_cast<size_t>(spr[s] * records));
            signals.push_back(static_cast<int>(s));
        }
        for (auto &v : values) {
            bufs.push_back(v.data());
        }
    }
    int64_t samples() const {
        int64_t n = 0;
        for (int x : spr) {
            n += x * records;
        }
        return n;
    }
};

// The bare loop over a whole recording: one fread per data record, every sample converted.
void bare_read_all(benchmark::State &state, const std::string &path, whole_file &w) {
    const layout first = layout_of(w.spr, 0, w.records);
    std::vector<unsigned char> record(static_cast<size_t>(first.record_size));
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "rb");
        fseeko(f, first.header_size, SEEK_SET);
        for (int64_t r = 0; r < w.records; r++) {
            if (std::fread(record.data(), 1, record.size(), f) != record.size()) {
                state.SkipWithError("short read");
                break;
            }
            const unsigned char *in = record.data();
            for (size_t s = 0; s < w.spr.size(); s++) {
                const int n = w.spr[s];
                double *out = w.bufs[s] + r * n;
                for (int i = 0; i < n; i++) {
                    const int d = static_cast<int16_t>(in[2 * i] | in[2 * i + 1] << 8);
                    out[i] = (static_cast<double>(d) + first.offset) * first.bit_value;
                }
                in += 2 * n;
            }
        }
        benchmark::DoNotOptimize(w.bufs.data());
        std::fclose(f);
    }
    state.SetItemsProcessed(state.iterations() * w.samples());
}

int open_or_skip(benchmark::State &state, const std::string &path) {
    auto hdr = std::make_unique<edf_header_info>();
    if (edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_NO_ANNOTATIONS) != 0) {
        state.SkipWithError("open failed");
        return -1;
    }
    return hdr->handle;
}

// The whole recording through one record read.
void records_read_all(benchmark::State &state, const std::string &path, whole_file &w) {
    const int handle = open_or_skip(state, path);
    if (handle < 0) {
        return;
    }
    const int count = static_cast<int>(w.signals.size());
    for (auto _ : state) {
        if (edfread_physical_records(handle, 0, static_cast<int>(w.records), count,
                                     w.signals.data(), w.bufs.data()) != w.records) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(w.bufs.data());
    }
    state.SetItemsProcessed(state.iterations() * w.samples());
    edfclose_file(handle);
}

// The whole recording signal by signal, each in one call.
void per_signal_read_all(benchmark::State &state, const std::string &path, whole_file &w) {
    const int handle = open_or_skip(state, path);
    if (handle < 0) {
        return;
    }
    for (auto _ : state) {
        for (size_t s = 0; s < w.spr.size(); s++) {
            const int n = static_cast<int>(w.spr[s] * w.records);
            edfrewind(handle, static_cast<int>(s));
            if (edfread_physical_samples(handle, static_cast<int>(s), n, w.bufs[s]) != n) {
                state.SkipWithError("read failed");
                break;
            }
        }
        benchmark::DoNotOptimize(w.bufs.data());
    }
    state.SetItemsProcessed(state.iterations() * w.samples());
    edfclose_file(handle);
}

// The bytes of the 64-signal file, for the memory and callback opens.
std::string many_bytes;

int64_t bench_read_at(void *user, void *buffer, int64_t bytes, int64_t offset) {
    const std::string &b = *static_cast<const std::string *>(user);
    const int64_t size = static_cast<int64_t>(b.size());
    const int64_t n = offset >= size ? 0 : (bytes < size - offset ? bytes : size - offset);
    std::memcpy(buffer, b.data() + offset, static_cast<size_t>(n));
    return n;
}

int64_t bench_size(void *user) {
    return static_cast<int64_t>(static_cast<const std::string *>(user)->size());
}

// Opens the 64-signal file by its path (kind 0), from memory (1) or through callbacks (2).
int open_many(int kind, edf_header_info *hdr, int mode) {
    if (kind == 0) {
        return edfopen_file_readonly(many_path.c_str(), hdr, mode);
    }
    if (many_bytes.empty()) {
        FILE *f = std::fopen(many_path.c_str(), "rb");
        many_bytes.resize(std::filesystem::file_size(many_path));
        const size_t got = std::fread(many_bytes.data(), 1, many_bytes.size(), f);
        std::fclose(f);
        many_bytes.resize(got);
    }
    if (kind == 1) {
        return edfopen_memory_readonly(many_bytes.data(), static_cast<int64_t>(many_bytes.size()),
                                       hdr, mode, 0);
    }
    const edf_source source{bench_read_at, bench_size, nullptr, &many_bytes};
    return edfopen_source_readonly(&source, "many.edf", hdr, mode, 0);
}

void BM_SourceOpen(benchmark::State &state) {
    auto hdr = std::make_unique<edf_header_info>();
    for (auto _ : state) {
        if (open_many(static_cast<int>(state.range(0)), hdr.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        edfclose_file(hdr->handle);
    }
}

// The whole 64-signal file by one record read (argument 1: 0) or signal by signal (1).
void BM_SourceRead(benchmark::State &state) {
    auto hdr = std::make_unique<edf_header_info>();
    if (open_many(static_cast<int>(state.range(0)), hdr.get(), EDF_READ_NO_ANNOTATIONS) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    whole_file w(many_spr(), 300);
    const int count = static_cast<int>(w.signals.size());
    for (auto _ : state) {
        bool ok = true;
        if (state.range(1) == 0) {
            ok = edfread_physical_records(hdr->handle, 0, 300, count, w.signals.data(),
                                          w.bufs.data()) == 300;
        }
        for (size_t s = 0; state.range(1) == 1 && s < w.spr.size(); s++) {
            const int n = static_cast<int>(w.spr[s] * w.records);
            edfrewind(hdr->handle, static_cast<int>(s));
            ok =
                ok && edfread_physical_samples(hdr->handle, static_cast<int>(s), n, w.bufs[s]) == n;
        }
        if (!ok) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(w.bufs.data());
    }
    state.SetItemsProcessed(state.iterations() * w.samples());
    edfclose_file(hdr->handle);
}

void BM_SweepBareLoop(benchmark::State &state) {
    bare_read(state, sweep_path, layout_of({8192}, 0, 300));
}
void BM_SweepLibraryPerRecord(benchmark::State &state) {
    library_read(state, sweep_path, 0, 8192);
}
void BM_SweepLibraryOneCall(benchmark::State &state) {
    library_read(state, sweep_path, 0, 8192 * 300);
}
void BM_SweepLibrarySmallCalls(benchmark::State &state) {
    library_read(state, sweep_path, 0, 1000);
}
void BM_ManySignalsBareLoop(benchmark::State &state) {
    bare_read(state, many_path, layout_of(many_spr(), many_read_signal, 300));
}
void BM_ManySignalsLibraryPerRecord(benchmark::State &state) {
    library_read(state, many_path, many_read_signal, spr_of_many(many_read_signal));
}
void BM_ManySignalsLibraryOneCall(benchmark::State &state) {
    library_read(state, many_path, many_read_signal, spr_of_many(many_read_signal) * 300);
}
void BM_ManySignalsLibrarySmallCalls(benchmark::State &state) {
    library_read(state, many_path, many_read_signal, 1000);
}
void BM_AllSignalsBareLoop(benchmark::State &state) {
    whole_file w(many_spr(), 300);
    bare_read_all(state, many_path, w);
}
void BM_AllSignalsRecordRead(benchmark::State &state) {
    whole_file w(many_spr(), 300);
    records_read_all(state, many_path, w);
}
void BM_AllSignalsPerSignal(benchmark::State &state) {
    whole_file w(many_spr(), 300);
    per_signal_read_all(state, many_path, w);
}

void open_file(benchmark::State &state, const std::string &path) {
    auto hdr = std::make_unique<edf_header_info>();
    for (auto _ : state) {
        if (edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        edfclose_file(hdr->handle);
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
}

// Reads the whole file in 1 MiB pieces.
void read_whole_file(benchmark::State &state, const std::string &path) {
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "rb");
        size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
            benchmark::DoNotOptimize(buffer.data());
        }
        std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
}

void BM_LargeFileOpen(benchmark::State &state) {
    open_file(state, large_path);
}
void BM_LargeFileReadWhole(benchmark::State &state) {
    read_whole_file(state, large_path);
}
void BM_TinyRecordsOpen(benchmark::State &state) {
    open_file(state, state.range(0) == 0 ? tiny_small_path : tiny_large_path);
}
void BM_TinyRecordsReadWhole(benchmark::State &state) {
    read_whole_file(state, state.range(0) == 0 ? tiny_small_path : tiny_large_path);
}
void BM_TinyRecordsLibraryRead(benchmark::State &state) {
    library_read(state, state.range(0) == 0 ? tiny_small_path : tiny_large_path, 0, 65536);
}

// About 1 GB: 8 signals of 512 samples per record (8312-byte records), 129000 records. With
// `gaps`, the file is EDF+D and every 50th record starts 3 s after the previous one ends.
constexpr int gap_file_signals = 8;
constexpr int gap_file_spr = 512;
constexpr int gap_file_records = 129000;

bool write_gap_file(const std::string &path, bool gaps) {
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, gap_file_signals);
    if (h < 0) {
        return false;
    }
    for (int s = 0; s < gap_file_signals; s++) {
        edf_set_samplefrequency(h, s, gap_file_spr);
        edf_set_digital_maximum(h, s, 32767);
        edf_set_digital_minimum(h, s, -32768);
        edf_set_physical_maximum(h, s, 400.0);
        edf_set_physical_minimum(h, s, -400.0);
    }
    if (gaps) {
        edf_set_discontinuous(h);
    }
    std::vector<int> values(gap_file_spr);
    for (int i = 0; i < gap_file_spr; i++) {
        values[static_cast<size_t>(i)] = (i * 131) % 60000 - 30000;
    }
    edfwrite_annotation_utf8_us(h, 0, -1, "Recording starts");
    int64_t start_us = 0;
    for (int r = 0; r < gap_file_records; r++) {
        if (gaps && r > 0 && r % 50 == 0) {
            start_us += 3000000;
            if (edf_set_record_start(h, start_us) != 0) {
                return false;
            }
        }
        for (int s = 0; s < gap_file_signals; s++) {
            if (edfwrite_digital_samples(h, values.data()) != 0) {
                return false;
            }
        }
        start_us += 1000000;
    }
    return edfclose_file(h) == 0;
}

// Argument 0: the EDF+C file through the strict open; 1: the EDF+D file through the open that
// accepts it. Both collect all annotations.
void BM_GapFileOpen(benchmark::State &state) {
    const bool gaps = state.range(0) == 1;
    const std::string path = (work_dir / (gaps ? "gaps_d.edf" : "gaps_c.edf")).string();
    if (!std::filesystem::exists(path) && !write_gap_file(path, gaps)) {
        state.SkipWithError("could not write the file");
        return;
    }
    auto hdr = std::make_unique<edf_header_info>();
    for (auto _ : state) {
        const int result =
            gaps ? edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS)
                 : edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS);
        if (result != 0) {
            state.SkipWithError("open failed");
            break;
        }
        edfclose_file(hdr->handle);
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
}

// A conforming file opened strictly (policy 0), checked (1) or opened tolerantly (2): the
// check and the tolerant open walk the same pass and should cost at most 1.1 times the strict
// open. File 0: 1000000 records of one sample (the annotation walk dominates); 1: the sweep.
void BM_PolicyOpen(benchmark::State &state) {
    const std::string &path = state.range(0) == 0 ? tiny_large_path : sweep_path;
    auto hdr = std::make_unique<edf_header_info>();
    for (auto _ : state) {
        int result = 0;
        switch (state.range(1)) {
        case 0:
            result = edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS);
            break;
        case 1:
            result = edf_check_file(path.c_str(), nullptr, 0);
            break;
        default:
            result =
                edfopen_file_readonly_tolerant(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS);
            break;
        }
        if (result != 0) {
            state.SkipWithError("open or check failed");
            break;
        }
        if (state.range(1) != 1) {
            edfclose_file(hdr->handle);
        }
    }
}

BENCHMARK(BM_SweepBareLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepLibraryPerRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepLibraryOneCall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepLibrarySmallCalls)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManySignalsBareLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManySignalsLibraryPerRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManySignalsLibraryOneCall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManySignalsLibrarySmallCalls)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllSignalsBareLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllSignalsRecordRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllSignalsPerSignal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFileOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFileReadWhole)->Unit(benchmark::kMillisecond);
// Argument 0: 250000 records of one sample; 1: 1000000 records.
BENCHMARK(BM_TinyRecordsOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TinyRecordsReadWhole)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TinyRecordsLibraryRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GapFileOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
// Argument: path (0), memory (1), callbacks (2); for the reads, then record read (0) or per
// signal (1).
BENCHMARK(BM_SourceOpen)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SourceRead)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PolicyOpen)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The console output, plus the CPU time per iteration of every benchmark (averaged over the
// repetitions, when repeated) for the ratios printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            // Single runs, or the means of repeated ones (the only runs reported when
            // --benchmark_report_aggregates_only is given).
            const bool single = run.run_type == Run::RT_Iteration;
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            const std::string name = run.run_name.function_name;
            if ((single || mean) && run.iterations > 0 && name.find('/') == std::string::npos) {
                auto &[sum, n] = (mean ? means_ : cpu_)[name];
                sum += run.GetAdjustedCPUTime();
                n++;
            }
        }
    }
    // CPU time of a over CPU time of b, or -1 when one of them did not run.
    double ratio(const std::string &a, const std::string &b) const {
        const auto &times = means_.empty() ? cpu_ : means_;
        const auto x = times.find(a), y = times.find(b);
        if (x == times.end() || y == times.end() || y->second.first <= 0) {
            return -1;
        }
        return (x->second.first / x->second.second) / (y->second.first / y->second.second);
    }
    void print_ratios() const {
        struct line {
            const char *what, *a, *b;
        };
        const line lines[] = {
            {"all signals, record read / bare loop (target <= 1.1)", "BM_AllSignalsRecordRead",
             "BM_AllSignalsBareLoop"},
            {"all signals, per-signal calls / bare loop (target <= 2)", "BM_AllSignalsPerSignal",
             "BM_AllSignalsBareLoop"},
            {"sweep file, 1000-sample calls: throughput / one call (target >= 0.8)",
             "BM_SweepLibraryOneCall", "BM_SweepLibrarySmallCalls"},
            {"64-signal file, 1000-sample calls: throughput / one call (target >= 0.8)",
             "BM_ManySignalsLibraryOneCall", "BM_ManySignalsLibrarySmallCalls"},
            {"sweep file, one record per call / bare loop", "BM_SweepLibraryPerRecord",
             "BM_SweepBareLoop"},
            {"64-signal file, one signal, one record per call / bare loop",
             "BM_ManySignalsLibraryPerRecord", "BM_ManySignalsBareLoop"},
        };
        std::printf("\nRatios of CPU time:\n");
        for (const line &l : lines) {
            const double r = ratio(l.a, l.b);
            if (r > 0) {
                std::printf("  %-75s %.2f\n", l.what, r);
            }
        }
    }

  private:
    std::map<std::string, std::pair<double, int>> cpu_;
    std::map<std::string, std::pair<double, int>> means_;
};

bool make_files() {
    work_dir =
        std::filesystem::temp_directory_path() / ("edf_reader_bench_" + std::to_string(getpid()));
    std::filesystem::create_directory(work_dir);
    sweep_path = (work_dir / "sweep.edf").string();
    many_path = (work_dir / "many.edf").string();
    large_path = (work_dir / "large.edf").string();
    tiny_small_path = (work_dir / "tiny_small.edf").string();
    tiny_large_path = (work_dir / "tiny_large.edf").string();
    return write_file(sweep_path, {8192}, 300) && write_file(many_path, many_spr(), 300) &&
           write_file(large_path, {1000000}, 100) &&
           write_file(tiny_small_path, {1}, tiny_small_records) &&
           write_file(tiny_large_path, {1}, tiny_large_records);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const bool made = make_files();
    if (made) {
        ratio_reporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.print_ratios();
    } else {
        std::fprintf(stderr, "could not write the benchmark files\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
    benchmark::Shutdown();
    return made ? 0 : 1;
}
