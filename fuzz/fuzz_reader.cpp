// Arbitrary bytes opened as a recording in each annotation-read mode. When the file opens,
// every signal is read whole (digital and physical values, in chunks) and at positions sought
// from the input, a stretch of records is read for all signals at once and compared with the
// per-signal reads, and every annotation is fetched. The reader must refuse or survive: no
// crash, no undefined behaviour, no leak, and results that keep their own promises
// (positions within the signal, counts within what was asked, the handle table as before).
// The same bytes are checked (edf_check_file), which always gives a count: the strict open in
// mode 2 succeeds exactly when every problem listed has code 0 (annotation texts that are not
// UTF-8, which it accepts as they stand), else it fails with the code of the first problem
// that has one; the tolerant open in mode 2 lists the same problems, fails exactly when the
// last one is fatal, and for a file that the strict open accepts gives the strict open's
// header record. The segments cover every record whose time is known, in order, and each
// record left out of them is named as a problem of its time-keeping annotation. The repaired
// copy of a file without a fatal problem conforms (or is refused as a whole): its check finds
// nothing but that it is discontinuous. The bytes opened from memory and through callbacks
// (strict and tolerant, each mode) give the path open's result and header record, and the
// check of the callbacks the file's list; the annotations that a lazy open collects later
// are those that the open in that mode collects.
#include "recording/edf.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A small generator of positions and lengths, seeded from the input.
struct sequence {
    uint64_t state;
    uint64_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 33;
    }
};

void read_signal(int handle, int signal, int64_t total, sequence &choice) {
    std::vector<int> digital(4096);
    std::vector<double> physical(4096);
    int64_t read = 0;
    check(edfrewind(handle, signal) == 0);
    for (;;) {
        const int n = edfread_digital_samples(handle, signal, 4096, digital.data());
        if (n <= 0) {
            check(n == 0 || n == -1);
            break;
        }
        read += n;
        check(edftell(handle, signal) == read);
    }
    check(read <= total);
    for (int i = 0; i < 8; i++) {
        const int64_t target =
            total > 0 ? static_cast<int64_t>(choice.next() % (total + 2)) - 1 : 0;
        const int64_t position = edfseek(handle, signal, target, EDFSEEK_SET);
        check(position >= 0 && position <= total);
        const int n = edfread_physical_samples(
            handle, signal, static_cast<int>(choice.next() % 4096), physical.data());
        check(n >= -1 && n <= 4096);
        check(edfseek(handle, signal, INT64_MAX, EDFSEEK_CUR) == total);
        check(edfseek(handle, signal, INT64_MIN, EDFSEEK_END) == 0);
    }
}

// The segments cover the records whose time is known, in order, each starts after the
// previous one ends (or where it ends, when records of unknown time lie between), and the
// record starts agree with them; the records between and after them have no start.
void check_segments(const edf_header_info &h) {
    const int count = edf_get_segment_count(h.handle);
    check(count >= 1);
    int64_t next_record = 0;
    int64_t previous_end = 0;
    const auto unplaced_until = [&](int64_t end) {
        for (; next_record < end; next_record++) {
            check(edf_get_record_start(h.handle, next_record) == -1);
        }
    };
    for (int n = 0; n < count; n++) {
        edf_segment s;
        check(edf_get_segment(h.handle, n, &s) == 0);
        check(s.first_record >= next_record && (s.record_count > 0 || count == 1));
        check(n == 0 ? s.start == 0 && s.first_record == 0
                     : (s.first_record > next_record ? s.start >= previous_end
                                                     : s.start > previous_end));
        unplaced_until(s.first_record);
        if (s.record_count > 0) {
            check(edf_get_record_start(h.handle, s.first_record) == s.start);
            check(edf_get_record_start(h.handle, s.first_record + s.record_count - 1) ==
                  s.start + (s.record_count - 1) * h.datarecord_duration);
        }
        next_record += s.record_count;
        previous_end = s.start + s.record_count * h.datarecord_duration;
    }
    check(next_record <= h.datarecord_count);
    unplaced_until(h.datarecord_count);
    check(edf_get_segment(h.handle, count, nullptr) == -1);
    check(edf_get_record_start(h.handle, h.datarecord_count) == -1);
}

// A few records of every signal read at once hold what the per-signal reads give.
void read_records(int handle, const edf_header_info &hdr, sequence &choice) {
    const int64_t records = hdr.datarecord_count;
    const int64_t first = static_cast<int64_t>(choice.next() % static_cast<uint64_t>(records + 1));
    const int count = static_cast<int>(choice.next() % 4);
    const int ns = hdr.ordinary_signal_count;
    int64_t room = 0;
    for (int s = 0; s < ns; s++) {
        room += static_cast<int64_t>(hdr.signals[s].samples_per_record) * count;
    }
    if (ns == 0 || room > (1 << 22)) {
        return;
    }
    std::vector<std::vector<int>> values(static_cast<size_t>(ns));
    std::vector<int *> bufs;
    std::vector<int> signals;
    for (int s = 0; s < ns; s++) {
        values[static_cast<size_t>(s)].resize(
            static_cast<size_t>(hdr.signals[s].samples_per_record) * count + 1);
        bufs.push_back(values[static_cast<size_t>(s)].data());
        signals.push_back(s);
    }
    const int got = edfread_digital_records(handle, first, count, ns, signals.data(), bufs.data());
    const int64_t left = records - first;
    check(got == (left < count ? left : count));
    std::vector<int> one;
    for (int s = 0; s < ns; s++) {
        const int64_t spr = hdr.signals[s].samples_per_record;
        one.assign(static_cast<size_t>(spr * got + 1), 0);
        check(edfseek(handle, s, first * spr, EDFSEEK_SET) == first * spr);
        check(edfread_digital_samples(handle, s, static_cast<int>(spr * got), one.data()) ==
              spr * got);
        for (int64_t i = 0; i < spr * got; i++) {
            check(one[static_cast<size_t>(i)] ==
                  values[static_cast<size_t>(s)][static_cast<size_t>(i)]);
        }
    }
}

// Reads every signal and annotation of an open handle, then closes it.
void read_all(int handle, const edf_header_info *hdr, sequence &choice, int open_before) {
    check_segments(*hdr);
    check(hdr->ordinary_signal_count >= 0 && hdr->ordinary_signal_count <= EDF_MAX_SIGNALS);
    for (int s = 0; s < hdr->ordinary_signal_count; s++) {
        read_signal(handle, s, hdr->signals[s].samples_in_file, choice);
    }
    read_records(handle, *hdr, choice);
    check(edfread_digital_samples(handle, hdr->ordinary_signal_count, 1, nullptr) == -1);
    edf_annotation annotation;
    for (int64_t n = 0; n < hdr->annotation_count; n++) {
        check(edf_get_annotation(handle, static_cast<int>(n), &annotation) == 0);
    }
    check(edf_get_annotation(handle, static_cast<int>(hdr->annotation_count), &annotation) == -1);
    check(edfclose_file(handle) == 0);
    check(edf_get_number_of_open_files() == open_before);
}

// The check against the strict and the tolerant open (mode 2) of the file at `path`.
void check_policies(const char *path, sequence &choice, int open_before) {
    static edf_header_info *strict = new edf_header_info;
    static edf_header_info *tolerant = new edf_header_info;
    const int count = edf_check_file(path, nullptr, 0);
    check(count >= 0);
    std::vector<edf_problem> problems(static_cast<size_t>(count) + 1);
    check(edf_check_file(path, problems.data(), count + 1) == count);

    // The first problem that the strict open does not accept as it stands.
    int first_coded = -1;
    for (int i = 0; i < count; i++) {
        const edf_problem &p = problems[static_cast<size_t>(i)];
        if (first_coded < 0 && p.code != 0) {
            first_coded = i;
        }
        check(i + 1 == count || p.action != EDF_PROBLEM_FATAL);
        check(p.action == EDF_PROBLEM_REPAIRED || p.action == EDF_PROBLEM_FATAL ||
              p.action == EDF_PROBLEM_CONFORMS);
        check((p.action == EDF_PROBLEM_CONFORMS) == (p.code == EDF_ERR_DISCONTINUOUS));
        check(p.code != 0 ||
              (p.action == EDF_PROBLEM_REPAIRED && std::strcmp(p.field, "annotation text") == 0));
        check(std::memchr(p.field, '\0', sizeof p.field) != nullptr && p.field[0] != '\0');
        check(std::memchr(p.message, '\0', sizeof p.message) != nullptr);
    }
    const int strict_result = edfopen_file_readonly(path, strict, EDF_READ_ALL_ANNOTATIONS);
    if (strict_result == 0) {
        check(first_coded < 0);
        check(edfclose_file(strict->handle) == 0);
    } else {
        check(first_coded >= 0 &&
              problems[static_cast<size_t>(first_coded)].code == strict->filetype);
    }
    const bool fatal =
        count > 0 && problems[static_cast<size_t>(count) - 1].action == EDF_PROBLEM_FATAL;
    const int tolerant_result =
        edfopen_file_readonly_tolerant(path, tolerant, EDF_READ_ALL_ANNOTATIONS);
    check((tolerant_result == 0) == !fatal);
    if (tolerant_result != 0) {
        check(tolerant->handle == -1 &&
              tolerant->filetype == problems[static_cast<size_t>(count) - 1].code);
        return;
    }
    check(edf_get_problem_count(tolerant->handle) == count);
    for (int i = 0; i < count; i++) {
        edf_problem p;
        check(edf_get_problem(tolerant->handle, i, &p) == 0);
        check(std::memcmp(&p, &problems[static_cast<size_t>(i)], sizeof p) == 0);
    }
    const int handle = tolerant->handle;
    // Every record left out of the time axis is named by a problem of its time-keeping
    // annotation.
    for (int64_t r = 0; r < tolerant->datarecord_count; r++) {
        if (edf_get_record_start(handle, r) == -1) {
            bool named = false;
            for (const edf_problem &p : problems) {
                named |= p.record == r && std::strcmp(p.field, "time-keeping annotation") == 0 &&
                         p.action == EDF_PROBLEM_REPAIRED;
            }
            check(named);
        }
    }
    static const std::string copy = std::string(path) + ".copy";
    std::remove(copy.c_str());
    const int repaired = edf_repair_file(path, copy.c_str(), 0, nullptr, 0);
    if (repaired == count) {
        edf_problem left[2];
        const int in_copy = edf_check_file(copy.c_str(), left, 2);
        check(in_copy == 0 || (in_copy == 1 && left[0].action == EDF_PROBLEM_CONFORMS));
    } else {
        // Only a repair that does not fit the file's annotation signals is refused, and a
        // file of no records, which no strict open reads.
        check(count > 0 && repaired == EDF_ERR_FORMAT);
        check(edf_check_file(copy.c_str(), nullptr, 0) == EDF_ERR_CANNOT_OPEN);
    }
    std::remove(copy.c_str());
    if (strict_result == 0) {
        // The strict open's record, with the handle that the strict open had then.
        tolerant->handle = strict->handle;
        check(std::memcmp(tolerant, strict, sizeof *strict) == 0);
        tolerant->handle = handle;
    }
    read_all(handle, tolerant, choice, open_before);
}

struct memory_bytes {
    const uint8_t *data;
    int64_t size;
    int releases;
};

int64_t read_memory(void *user, void *buffer, int64_t bytes, int64_t offset) {
    const auto &m = *static_cast<memory_bytes *>(user);
    check(bytes > 0 && offset >= 0);
    const int64_t n = offset >= m.size ? 0 : (bytes < m.size - offset ? bytes : m.size - offset);
    if (n > 0) {
        std::memcpy(buffer, m.data + offset, static_cast<size_t>(n));
    }
    return n;
}

int64_t memory_size(void *user) {
    return static_cast<memory_bytes *>(user)->size;
}

void release_memory(void *user) {
    static_cast<memory_bytes *>(user)->releases++;
}

// The memory and callback opens against the path open of the same bytes.
void check_sources(const char *path, const uint8_t *data, size_t size, sequence &choice,
                   int open_before) {
    static edf_header_info *by_path = new edf_header_info;
    static edf_header_info *by_memory = new edf_header_info;
    const int64_t length = static_cast<int64_t>(size);
    for (int mode = 0; mode <= 2; mode++) {
        for (const int flags : {0, EDF_OPEN_TOLERANT}) {
            const int path_result = flags != 0 ? edfopen_file_readonly_tolerant(path, by_path, mode)
                                               : edfopen_file_readonly(path, by_path, mode);
            const int memory_result = edfopen_memory_readonly(data, length, by_memory, mode, flags);
            check(path_result == memory_result && by_path->filetype == by_memory->filetype);
            if (path_result != 0) {
                check(edf_get_number_of_open_files() == open_before);
                continue;
            }
            const int handle = by_memory->handle;
            by_memory->handle = by_path->handle;
            check(std::memcmp(by_path, by_memory, sizeof *by_path) == 0);
            by_memory->handle = handle;
            check(edf_get_problem_count(handle) == edf_get_problem_count(by_path->handle));
            check(edfclose_file(by_path->handle) == 0);
            if (mode == 0) {
                // The lazy open's annotations, collected later, are the full open's.
                const int collected = edf_read_annotations(handle, EDF_READ_ALL_ANNOTATIONS);
                const int full = flags != 0 ? edfopen_file_readonly_tolerant(path, by_path, 2)
                                            : edfopen_file_readonly(path, by_path, 2);
                check(flags != 0 || (collected >= 0) == (full == 0));
                if (full == 0) {
                    check(collected < 0 || (collected == by_path->annotation_count &&
                                            edf_get_problem_count(handle) ==
                                                edf_get_problem_count(by_path->handle)));
                    check(edfclose_file(by_path->handle) == 0);
                }
                by_memory->annotation_count = collected > 0 ? collected : 0;
            }
            read_all(handle, by_memory, choice, open_before);
        }
    }
    memory_bytes m{data, length, 0};
    const edf_source source{read_memory, memory_size, release_memory, &m};
    const int count = edf_check_source(&source, nullptr, 0);
    check(count == edf_check_file(path, nullptr, 0) && m.releases == 1);
    const int opened = edfopen_source_readonly(&source, "input", by_memory, 2, EDF_OPEN_TOLERANT);
    check((opened == 0) == (edfopen_file_readonly_tolerant(path, by_path, 2) == 0));
    if (opened == 0) {
        check(edfclose_file(by_path->handle) == 0);
        read_all(by_memory->handle, by_memory, choice, open_before);
    }
    check(m.releases == 2 && edf_get_number_of_open_files() == open_before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = "/tmp/fuzz_reader_" + std::to_string(getpid()) + ".edf";
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    static edf_header_info *hdr = new edf_header_info;
    sequence choice{size};
    for (size_t i = 0; i < size && i < 64; i++) {
        choice.state = choice.state * 31 + data[i];
    }
    const int open_before = edf_get_number_of_open_files();
    for (int mode = 0; mode <= 2; mode++) {
        if (edfopen_file_readonly(path.c_str(), hdr, mode) != 0) {
            check(hdr->handle == -1 && hdr->filetype < 0);
            check(edf_get_number_of_open_files() == open_before);
            // EDF+D/BDF+D: the open that accepts discontinuous files.
            if (hdr->filetype != EDF_ERR_DISCONTINUOUS ||
                edfopen_file_readonly_tolerant(path.c_str(), hdr, mode) != 0) {
                check(hdr->handle == -1 && hdr->filetype < 0);
                check(edf_get_number_of_open_files() == open_before);
                continue;
            }
        }
        read_all(hdr->handle, hdr, choice, open_before);
    }
    check_policies(path.c_str(), choice, open_before);
    check_sources(path.c_str(), data, size, choice, open_before);
    return 0;
}
