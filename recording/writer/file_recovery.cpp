// Recovery of a file whose writer died before close. Such a file holds a complete header with
// "-1" as its record count, the data records completed before the end (each was flushed as it
// completed, with the annotations whose places lie in it), and perhaps part of the record that
// was being assembled. Recovery writes the count of complete records into the header and cuts
// the partial record off: two small changes in place, nothing copied.
#include "recording/core/header_layout.h"
#include "recording/core/recording.h"
#include "recording/core/text_parse.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace edf_layout;

bool printable(const unsigned char *bytes, int n) {
    for (int i = 0; i < n; i++) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

bool blank(const unsigned char *bytes, int n) {
    for (int i = 0; i < n; i++) {
        if (bytes[i] != ' ') {
            return false;
        }
    }
    return true;
}

bool integer_field(const unsigned char *bytes, int width, int *value) {
    char text[16];
    if (!printable(bytes, width)) {
        return false;
    }
    std::memcpy(text, bytes, static_cast<size_t>(width));
    text[width] = '\0';
    if (edf_text_is_integer(text) != 0) {
        return false;
    }
    *value = edf_atoi(text);
    return true;
}

bool number_field(const unsigned char *bytes, int width, double *value) {
    char text[16];
    if (!printable(bytes, width)) {
        return false;
    }
    std::memcpy(text, bytes, static_cast<size_t>(width));
    text[width] = '\0';
    if (edf_text_is_number(text) != 0) {
        return false;
    }
    *value = edf_atof(text);
    return true;
}

// dd.mm.yy or hh.mm.ss with the given upper limits of the three numbers.
bool dotted_field(const unsigned char *b, int low0, int max0, int low1, int max1, int max2) {
    if (b[2] != '.' || b[5] != '.') {
        return false;
    }
    int v[3];
    for (int k = 0; k < 3; k++) {
        const unsigned char c0 = b[3 * k];
        const unsigned char c1 = b[3 * k + 1];
        if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9') {
            return false;
        }
        v[k] = (c0 - '0') * 10 + (c1 - '0');
    }
    return v[0] >= low0 && v[0] <= max0 && v[1] >= low1 && v[1] <= max1 && v[2] <= max2;
}

const unsigned char *signal_field(const unsigned char *h, int ns, int start, int width, int i) {
    return h + fixed_header_size + static_cast<size_t>(ns) * static_cast<size_t>(start) +
           static_cast<size_t>(i) * static_cast<size_t>(width);
}

// The layout that recovery needs from a header.
struct file_layout {
    int64_t header_size;
    int64_t record_size;
};

// The one decision "is anything wrong with this header besides its record count?": 0 when
// every other field is well-formed (the layout in *layout), EDF_ERR_FORMAT otherwise. The
// record count may be "-1" (never finished) or any count (a file finished and then extended,
// or recovered before). `h` holds the fixed part and `signal_bytes` bytes of the signal part.
int header_refusal(const unsigned char *h, int64_t signal_bytes, file_layout *layout) {
    const bool bdf = h[0] == 0xFF;
    if (bdf ? std::memcmp(h + 1, "BIOSEMI", 7) != 0 : std::memcmp(h, "0       ", 8) != 0) {
        return EDF_ERR_FORMAT;
    }
    if (!printable(h + 8, fixed_header_size - 8)) {
        return EDF_ERR_FORMAT;
    }
    int ns = 0;
    int header_bytes_value = 0;
    int count = 0;
    double duration = 0;
    if (!integer_field(h + signal_count.offset, signal_count.width, &ns) || ns < 1 ||
        ns > EDF_MAX_SIGNALS ||
        !integer_field(h + header_bytes.offset, header_bytes.width, &header_bytes_value) ||
        header_bytes_value != signal_header_size * (ns + 1) ||
        !integer_field(h + datarecord_count.offset, datarecord_count.width, &count) || count < -1 ||
        !number_field(h + datarecord_duration.offset, datarecord_duration.width, &duration) ||
        duration < 0 || !dotted_field(h + start_date.offset, 1, 31, 1, 12, 99) ||
        !dotted_field(h + start_time.offset, 0, 23, 0, 59, 59)) {
        return EDF_ERR_FORMAT;
    }
    layout->header_size = header_bytes_value;
    if (signal_bytes < static_cast<int64_t>(signal_header_size) * ns ||
        !printable(h + fixed_header_size, signal_header_size * ns)) {
        return EDF_ERR_FORMAT;
    }
    const unsigned char *reserved_bytes = h + reserved.offset;
    const bool plus = (std::memcmp(reserved_bytes, bdf ? "BDF+C" : "EDF+C", 5) == 0 ||
                       std::memcmp(reserved_bytes, bdf ? "BDF+D" : "EDF+D", 5) == 0) &&
                      blank(reserved_bytes + 5, reserved.width - 5);
    if (!plus && !bdf && !blank(reserved_bytes, reserved.width)) {
        return EDF_ERR_FORMAT;
    }
    const char *annotation_label = bdf ? "BDF Annotations " : "EDF Annotations ";
    const int bytes_per_sample = bdf ? 3 : 2;
    const int digital_low = bdf ? -8388608 : -32768;
    const int digital_high = bdf ? 8388607 : 32767;
    int annotation_signals = 0;
    int64_t record_size = 0;
    for (int i = 0; i < ns; i++) {
        int samples = 0;
        int dmin = 0;
        int dmax = 0;
        double pmin = 0;
        double pmax = 0;
        if (!integer_field(signal_field(h, ns, samples_start, samples_width, i), samples_width,
                           &samples) ||
            samples < 1 ||
            !integer_field(signal_field(h, ns, digital_min_start, digital_min_width, i),
                           digital_min_width, &dmin) ||
            !integer_field(signal_field(h, ns, digital_max_start, digital_max_width, i),
                           digital_max_width, &dmax) ||
            dmin < digital_low || dmax > digital_high || dmax <= dmin ||
            !number_field(signal_field(h, ns, physical_min_start, physical_min_width, i),
                          physical_min_width, &pmin) ||
            !number_field(signal_field(h, ns, physical_max_start, physical_max_width, i),
                          physical_max_width, &pmax) ||
            pmin == pmax) {
            return EDF_ERR_FORMAT;
        }
        if (plus && std::memcmp(signal_field(h, ns, label_start, label_width, i), annotation_label,
                                label_width) == 0) {
            annotation_signals++;
        }
        record_size += static_cast<int64_t>(samples) * bytes_per_sample;
    }
    if ((plus && annotation_signals == 0) ||
        record_size > (bdf ? bdf_max_record_size : edf_max_record_size) ||
        (duration == 0 && annotation_signals < ns)) {
        return EDF_ERR_FORMAT;
    }
    layout->record_size = record_size;
    return 0;
}

bool read_at(int fd, void *out, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t got =
            pread(fd, static_cast<char *>(out) + done, static_cast<size_t>(bytes - done),
                  static_cast<off_t>(position + done));
        if (got > 0) {
            done += got;
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool write_at(int fd, const void *data, int64_t bytes, int64_t position) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t put =
            pwrite(fd, static_cast<const char *>(data) + done, static_cast<size_t>(bytes - done),
                   static_cast<off_t>(position + done));
        if (put > 0) {
            done += put;
        } else if (put == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Checks the header of the open file and works out what recovery does.
int plan(int fd, edf_recovery_plan *out) {
    unsigned char fixed[fixed_header_size];
    if (!read_at(fd, fixed, fixed_header_size, 0)) {
        return EDF_ERR_READ;
    }
    int ns = 0;
    if (!integer_field(fixed + signal_count.offset, signal_count.width, &ns) || ns < 1 ||
        ns > EDF_MAX_SIGNALS) {
        return EDF_ERR_FORMAT;
    }
    const int64_t size = static_cast<int64_t>(signal_header_size) * (ns + 1);
    auto *header = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    if (header == nullptr) {
        return EDF_ERR_NO_MEMORY;
    }
    file_layout layout{};
    int code = read_at(fd, header, size, 0) ? 0 : EDF_ERR_READ;
    if (code == 0) {
        code = header_refusal(header, size - fixed_header_size, &layout);
    }
    std::free(header);
    if (code != 0) {
        return code;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return EDF_ERR_FORMAT;
    }
    int stored = 0;
    integer_field(fixed + datarecord_count.offset, datarecord_count.width, &stored);
    out->file_size = status.st_size;
    out->header_size = layout.header_size;
    out->record_size = layout.record_size;
    out->stored_count = stored;
    out->complete_records = (out->file_size - layout.header_size) / layout.record_size;
    out->partial_bytes =
        out->file_size - layout.header_size - out->complete_records * layout.record_size;
    if (out->complete_records > 99999999) {
        return EDF_ERR_FORMAT; // the count field cannot hold it
    }
    return 0;
}

// Writes the count and cuts the partial record, each only when needed.
int apply(int fd, const edf_recovery_plan &p) {
    if (p.stored_count != p.complete_records) {
        char field[24];
        std::snprintf(field, sizeof field, "%-8d", static_cast<int>(p.complete_records));
        if (!write_at(fd, field, datarecord_count.width, datarecord_count.offset)) {
            return -1;
        }
    }
    if (p.partial_bytes != 0 &&
        ftruncate(fd, static_cast<off_t>(p.header_size + p.complete_records * p.record_size)) !=
            0) {
        return -1;
    }
    return static_cast<int>(p.complete_records);
}

int open_for_recovery(const char *path, int flags) {
    if (path == nullptr) {
        return -1;
    }
    if (edf_path_in_use(path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    const int fd = open(path, flags);
    return fd < 0 ? EDF_ERR_CANNOT_OPEN : fd;
}

} // namespace

extern "C" {

int edf_plan_recovery(const char *path, edf_recovery_plan *result) {
    if (result == nullptr) {
        return -1;
    }
    const int fd = open_for_recovery(path, O_RDONLY);
    if (fd < 0) {
        return fd;
    }
    edf_recovery_plan p{};
    const int code = plan(fd, &p);
    close(fd);
    if (code == 0) {
        *result = p;
    }
    return code;
}

int edf_recover_file(const char *path) {
    const int fd = open_for_recovery(path, O_RDWR);
    if (fd < 0) {
        return fd;
    }
    edf_recovery_plan p{};
    int result = plan(fd, &p);
    if (result == 0) {
        result = apply(fd, p);
    }
    const int closed = close(fd);
    return closed != 0 && result >= 0 ? -1 : result;
}

} // extern "C"
