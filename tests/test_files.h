// Helpers for tests that write files: a private temporary directory, a file's bytes, header
// fields, and a guard that leaves the process-wide handle table empty.
#pragma once

#include "recording/edf.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

// A path as the library takes it: UTF-8 text (on Windows too, where path::string() gives the
// ANSI code page).
inline std::string utf8_path(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

// And the path that UTF-8 text names.
inline std::filesystem::path path_of(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A fresh directory under the system's temporary directory whose name starts with `prefix`:
// created with a random suffix until the name is new.
inline std::filesystem::path make_temp_directory(const std::string &prefix) {
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random((static_cast<uint64_t>(seed()) << 32) ^ seed());
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::filesystem::path candidate =
            parent / (prefix + std::to_string(random() % 1000000000000ULL));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            return candidate;
        }
        if (error) {
            break;
        }
    }
    throw std::runtime_error("no temporary directory could be made");
}

// A fresh directory under the system's temporary directory, removed with its contents.
class temp_dir {
  public:
    temp_dir() : path_(make_temp_directory("recording-")) {}
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    std::string file(const std::string &name) const {
        return utf8_path(path_ / name);
    }
    const std::filesystem::path &path() const {
        return path_;
    }

  private:
    std::filesystem::path path_;
};

inline std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `text` padded with spaces to `width` bytes, the form of a header field.
inline std::string field(const std::string &text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

// Closes every open handle when the test ends, so that a failed assertion does not leave
// slots taken for the tests that follow in the same process.
struct close_all_handles {
    ~close_all_handles() {
        while (edf_get_number_of_open_files() > 0 && edf_get_handle(0) >= 0) {
            edfclose_file(edf_get_handle(0));
        }
    }
};

// Opens `path` as EDF+ (or BDF+) with `signals` ordinary signals, each with `samples` samples
// per record, digital range of the type and physical range -1000 to 1000.
inline int open_configured(const std::string &path, int signals, int samples, bool bdf = false) {
    const int handle = edfopen_file_writeonly(
        path.c_str(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, signals);
    for (int s = 0; handle >= 0 && s < signals; s++) {
        edf_set_samplefrequency(handle, s, samples);
        edf_set_digital_maximum(handle, s, bdf ? 8388607 : 32767);
        edf_set_digital_minimum(handle, s, bdf ? -8388608 : -32768);
        edf_set_physical_maximum(handle, s, 1000.0);
        edf_set_physical_minimum(handle, s, -1000.0);
    }
    return handle;
}
