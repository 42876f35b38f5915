// Arbitrary bytes de-identified as a recording, into a copy and in place, with flags taken
// from the input. De-identification must refuse or succeed: no crash, no undefined behaviour,
// the source of a copy unchanged, and every success a file that the strict open accepts (a
// discontinuous one: the tolerant open, finding nothing but the gaps and what the strict open
// accepts), with the samples and number of annotations that the reader saw in the source. A
// file that only the tolerant open reads is de-identified only into a copy, which holds what
// its repaired copy holds (discontinuous when the source is).
#include "recording/edf.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *file = std::fopen(path.c_str(), "wb");
    check(file != nullptr);
    std::fwrite(data, 1, size, file);
    std::fclose(file);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the tolerant open sees of a file in `mode`: -1 when it refuses it, else the number of
// problems that the strict open refuses (the discontinuity, which conforms, and annotation
// texts read as Latin-1, which that open accepts, aside), whether the file is discontinuous,
// the annotation count and the digital samples.
struct view {
    int result = -1;
    int problems = 0;
    bool discontinuous = false;
    int64_t annotations = 0;
    std::vector<int> samples;
};

view read_view(const std::string &path, int mode) {
    static edf_header_info *hdr = new edf_header_info;
    view v;
    if (edfopen_file_readonly_tolerant(path.c_str(), hdr, mode) != 0) {
        return v;
    }
    v.result = 0;
    const int count = edf_get_problem_count(hdr->handle);
    for (int n = 0; n < count; n++) {
        edf_problem problem;
        check(edf_get_problem(hdr->handle, n, &problem) == 0);
        if (problem.action == EDF_PROBLEM_CONFORMS) {
            v.discontinuous = true;
        } else if (problem.code != 0) {
            v.problems++;
        }
    }
    v.annotations = hdr->annotation_count;
    for (int s = 0; s < hdr->ordinary_signal_count; s++) {
        const int64_t n = hdr->signals[s].samples_in_file;
        const size_t start = v.samples.size();
        v.samples.resize(start + static_cast<size_t>(n < 65536 ? n : 65536));
        edfread_digital_samples(hdr->handle, s, static_cast<int>(v.samples.size() - start),
                                v.samples.data() + start);
    }
    check(edfclose_file(hdr->handle) == 0);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = "/tmp/fuzz_anonymize_" + std::to_string(getpid());
    const std::string source = base + "_source.edf";
    const std::string copy = base + "_copy.edf";
    const std::string repaired = base + "_repaired.edf";
    int flags = 0;
    for (size_t i = 0; i < size; i++) {
        flags = (flags * 31 + data[i]) & 0xffff;
    }
    flags &= EDF_ANON_KEEP_SEX | EDF_ANON_KEEP_AGE | EDF_ANON_KEEP_START_TIME |
             EDF_ANON_DROP_ANNOTATION_TEXTS;
    write_file(source, data, size);
    const view before = read_view(source, EDF_READ_ALL_ANNOTATIONS);
    view expected = before;
    if (before.result == 0 && before.problems > 0) {
        expected = edf_repair_file(source.c_str(), repaired.c_str(), 1, nullptr, 0) >= 0
                       ? read_view(repaired, EDF_READ_ALL_ANNOTATIONS)
                       : view{};
        std::remove(repaired.c_str());
    }
    const int open_before = edf_get_number_of_open_files();

    std::remove(copy.c_str());
    const int copied = edf_anonymize_file(source.c_str(), copy.c_str(), flags);
    check(edf_get_number_of_open_files() == open_before);
    check(read_file(source) == std::string(reinterpret_cast<const char *>(data), size));
    if (copied == 0) {
        const view after = read_view(copy, EDF_READ_ALL_ANNOTATIONS);
        check(expected.result == 0 && after.result == 0);
        check(after.problems == 0 && after.discontinuous == before.discontinuous);
        check(after.annotations == expected.annotations && after.samples == expected.samples);
    } else {
        check(copied < 0 && access(copy.c_str(), F_OK) != 0);
    }

    const int in_place = edf_anonymize_file(source.c_str(), nullptr, flags);
    check(edf_get_number_of_open_files() == open_before);
    if (in_place == 0) {
        const view after = read_view(source, EDF_READ_ALL_ANNOTATIONS);
        check(after.result == before.result && after.problems == before.problems &&
              after.discontinuous == before.discontinuous && after.samples == before.samples &&
              after.annotations == before.annotations);
    } else {
        check(in_place < 0 &&
              read_file(source) == std::string(reinterpret_cast<const char *>(data), size));
    }
    std::remove(source.c_str());
    std::remove(copy.c_str());
    return 0;
}
