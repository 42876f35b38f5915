// Writes the seed corpora of the fuzz targets into the directory given on the command line
// (fuzz/corpus): small recordings made by the library's own writer in many configurations for
// the reader target, the same with one header field broken in each of the ways that the
// tolerant open repairs for the header codec's target, their annotation signals for the
// annotation-list codec's target, and call sequences for the writer target.
#include "recording/edf.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct configuration {
    const char *name;
    int filetype;
    int signals;
    int annotation_signals;
    int position;
    int subsecond;
    int duration_10us; // 0: the default of one second
    int records;
    int annotations;
};

const configuration configurations[] = {
    {"edf_basic", EDF_FILETYPE_EDFPLUS, 1, 1, 0, 0, 0, 3, 2},
    {"bdf_basic", EDF_FILETYPE_BDFPLUS, 1, 1, 0, 0, 0, 3, 2},
    {"edf_middle", EDF_FILETYPE_EDFPLUS, 3, 2, 1, 0, 0, 2, 4},
    {"bdf_start", EDF_FILETYPE_BDFPLUS, 2, 1, 2, 0, 0, 2, 1},
    {"edf_subsecond", EDF_FILETYPE_EDFPLUS, 2, 1, 0, 2500000, 0, 2, 2},
    {"edf_1ms", EDF_FILETYPE_EDFPLUS, 1, 1, 0, 0, 100, 5, 3},
    {"bdf_half_second", EDF_FILETYPE_BDFPLUS, 2, 3, 1, 1, 50000, 3, 5},
    {"edf_annotations_only", EDF_FILETYPE_EDFPLUS, 0, 1, 0, 0, 0, 0, 3},
    {"edf_many_annotation_signals", EDF_FILETYPE_EDFPLUS, 1, 8, 0, 0, 0, 1, 8},
};

std::vector<char> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void save(const std::filesystem::path &path, const std::vector<char> &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_recording(const configuration &c, const std::string &path) {
    const int handle = edfopen_file_writeonly(path.c_str(), c.filetype, c.signals);
    edf_set_number_of_annotation_signals(handle, c.annotation_signals);
    edf_set_annotation_signal_position(handle, c.position);
    edf_set_subsecond_starttime(handle, c.subsecond);
    if (c.duration_10us != 0) {
        edf_set_datarecord_duration(handle, c.duration_10us);
    }
    edf_set_startdatetime(handle, 2002, 3, 2, 10, 20, 30);
    edf_set_patientcode(handle, "ABC-123");
    edf_set_patientname(handle, "Subject One");
    edf_set_birthdate(handle, 1951, 5, 2);
    edf_set_sex(handle, EDF_FEMALE);
    edf_set_equipment(handle, "AMP-2");
    const bool bdf = c.filetype == EDF_FILETYPE_BDFPLUS;
    for (int s = 0; s < c.signals; s++) {
        edf_set_samplefrequency(handle, s, 4 + 3 * s);
        edf_set_physical_maximum(handle, s, 100.0 * (s + 1));
        edf_set_physical_minimum(handle, s, -100.0 * (s + 1));
        edf_set_digital_maximum(handle, s, bdf ? 8388607 : 32767);
        edf_set_digital_minimum(handle, s, bdf ? -8388608 : -32768);
        edf_set_label(handle, s, ("signal " + std::to_string(s)).c_str());
        edf_set_physical_dimension(handle, s, "uV");
    }
    std::vector<double> values;
    for (int r = 0; r < c.records; r++) {
        for (int s = 0; s < c.signals; s++) {
            values.assign(static_cast<size_t>(4 + 3 * s), 0.0);
            for (size_t k = 0; k < values.size(); k++) {
                values[k] = 120.0 * (s + 1) * std::sin(0.7 * static_cast<double>(k + r));
            }
            edfwrite_physical_samples(handle, values.data());
        }
    }
    for (int a = 0; a < c.annotations; a++) {
        edfwrite_annotation_utf8_us(handle, 250000LL * a, a % 2 ? 500000 : -1,
                                    a == 0 ? "Recording starts" : "event \xc3\xa9");
    }
    edfclose_file(handle);
}

// The annotation signals of every record of a recording that write_recording made, for the
// annotation-list codec's target, each saved once.
void save_annotation_signals(const configuration &c, const std::vector<char> &bytes,
                             const std::filesystem::path &directory) {
    const size_t bps = c.filetype == EDF_FILETYPE_BDFPLUS ? 3 : 2;
    const int before = c.position == 0 ? c.signals : c.position == 1 ? c.signals / 2 : 0;
    size_t record = 120 * static_cast<size_t>(c.annotation_signals);
    size_t block = 0; // where the annotation signals begin in a record
    for (int s = 0; s < c.signals; s++) {
        record += static_cast<size_t>(4 + 3 * s) * bps;
        block += s < before ? static_cast<size_t>(4 + 3 * s) * bps : 0;
    }
    std::vector<std::vector<char>> saved;
    for (size_t at = 256 * static_cast<size_t>(1 + c.signals + c.annotation_signals) + block;
         at + record - block <= bytes.size(); at += record) {
        for (int k = 0; k < c.annotation_signals; k++) {
            const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at + 120 * k);
            const std::vector<char> signal(first, first + 120);
            if (std::find(saved.begin(), saved.end(), signal) == saved.end()) {
                save(directory / (std::string(c.name) + "_" + std::to_string(saved.size())),
                     signal);
                saved.push_back(signal);
            }
        }
    }
}

// An EDF+D or BDF+D recording: records with gaps between them, some shorter than a record,
// and an annotation inside a gap.
void write_discontinuous(bool bdf, const std::string &path) {
    const int handle =
        edfopen_file_writeonly(path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, 1);
    edf_set_startdatetime(handle, 2002, 3, 2, 10, 20, 30);
    edf_set_samplefrequency(handle, 0, 5);
    edf_set_physical_maximum(handle, 0, 100.0);
    edf_set_physical_minimum(handle, 0, -100.0);
    edf_set_digital_maximum(handle, 0, bdf ? 8388607 : 32767);
    edf_set_digital_minimum(handle, 0, bdf ? -8388608 : -32768);
    edf_set_datarecord_duration(handle, 50000);
    edf_set_discontinuous(handle);
    const int64_t starts_us[] = {0, -1, 3000000, 3700000, -1, 12250000};
    std::vector<double> values(5);
    for (int r = 0; r < 6; r++) {
        if (starts_us[r] >= 0) {
            edf_set_record_start(handle, starts_us[r]);
        }
        for (size_t k = 0; k < values.size(); k++) {
            values[k] = 80.0 * std::sin(0.7 * static_cast<double>(k + 5 * r));
        }
        edfwrite_physical_samples(handle, values.data());
    }
    edfwrite_annotation_utf8_us(handle, 2000000, 500000, "in the gap");
    edfwrite_annotation_utf8_us(handle, 12250000, -1, "last segment");
    edfclose_file(handle);
}

// Copies of a recording with one header field replaced by `text`, padded with spaces: a field
// of the fixed part at `offset`, or field `start` of signal 0 (`width` bytes per signal).
std::vector<std::pair<std::string, std::vector<char>>>
broken_headers(const std::vector<char> &file) {
    const size_t ns = static_cast<size_t>(std::atoi(std::string(&file[252], 4).c_str()));
    const struct {
        const char *name;
        bool signal;
        size_t at;
        size_t width;
        const char *text;
    } changes[] = {
        {"date", false, 168, 8, "2/3/1999"},         {"time", false, 176, 8, "7:8:9"},
        {"reserved", false, 192, 44, "EDF+C x"},     {"count", false, 236, 8, "-1"},
        {"duration", false, 244, 8, "0,5"},          {"patient", false, 8, 80, "J\xf6rg"},
        {"recording", false, 88, 80, "caf\xc3\xa9"}, {"label", true, 0, 16, "\xb5V"},
        {"transducer", true, 16, 80, "\x01"},        {"physical", true, 104, 8, "-100uV"},
        {"digital", true, 128, 8, "32767 x"},        {"equal", true, 128, 8, "-32768"},
        {"reserved_signal", true, 224, 32, "x"},
    };
    std::vector<std::pair<std::string, std::vector<char>>> out;
    for (const auto &c : changes) {
        std::vector<char> bytes = file;
        const size_t at = c.signal ? 256 + ns * c.at : c.at;
        std::string text = c.text;
        text.resize(c.width, ' ');
        std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        out.emplace_back(c.name, bytes);
    }
    return out;
}

// A call sequence for the writer target: settings bytes, then operations.
std::vector<char> writer_sequence(int variant) {
    std::vector<char> bytes;
    bytes.push_back(static_cast<char>(variant & 1));      // file type
    bytes.push_back(static_cast<char>(1 + variant % 4));  // ordinary signals
    bytes.push_back(static_cast<char>(variant % 3));      // annotation signals - 1
    bytes.push_back(static_cast<char>(variant % 3));      // position
    bytes.push_back(static_cast<char>(variant * 7 & 31)); // settings flags
    for (int i = 0; i < 240; i++) {
        bytes.push_back(static_cast<char>((i * 37 + variant * 11) & 0xFF));
    }
    return bytes;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus CORPUS_DIRECTORY\n");
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    const std::filesystem::path reader = root / "fuzz_reader";
    const std::filesystem::path writer = root / "fuzz_writer";
    const std::filesystem::path tal_codec = root / "fuzz_tal_codec";
    const std::filesystem::path codec = root / "fuzz_header_codec";
    std::filesystem::create_directories(reader);
    std::filesystem::create_directories(writer);
    std::filesystem::create_directories(tal_codec);
    std::filesystem::create_directories(codec);
    const std::string scratch = (std::filesystem::temp_directory_path() / "seed.edf").string();
    for (const configuration &c : configurations) {
        write_recording(c, scratch);
        std::vector<char> bytes = file_bytes(scratch);
        save(reader / c.name, bytes);
        save_annotation_signals(c, bytes, tal_codec);
        if (c.signals > 0) {
            for (const auto &[change, broken] : broken_headers(bytes)) {
                save(codec / (std::string(c.name) + "_" + change), broken);
            }
        }
        if (c.filetype == EDF_FILETYPE_EDFPLUS && c.signals > 0) {
            // The same recording marked as plain EDF, and as discontinuous.
            std::vector<char> plain = bytes;
            for (int i = 192; i < 197; i++) {
                plain[static_cast<size_t>(i)] = ' ';
            }
            save(reader / (std::string(c.name) + "_plain"), plain);
            std::vector<char> discontinuous = bytes;
            discontinuous[196] = 'D';
            save(reader / (std::string(c.name) + "_discontinuous"), discontinuous);
        }
    }
    for (const bool bdf : {false, true}) {
        write_discontinuous(bdf, scratch);
        save(reader / (bdf ? "bdf_gaps" : "edf_gaps"), file_bytes(scratch));
    }
    std::filesystem::remove(scratch);
    for (int variant = 0; variant < 12; variant++) {
        save(writer / ("sequence_" + std::to_string(variant)), writer_sequence(variant));
    }
    // Discontinuous files: the settings flag 32, and operations that set record starts.
    for (int variant = 0; variant < 4; variant++) {
        std::vector<char> bytes = writer_sequence(variant);
        bytes[4] = static_cast<char>(bytes[4] | 32);
        save(writer / ("discontinuous_" + std::to_string(variant)), bytes);
    }
    return 0;
}
