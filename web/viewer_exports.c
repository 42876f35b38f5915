/*
 * The calls that the viewer's Worker makes into the library, compiled with it to WebAssembly.
 * The recording is read through a byte source whose reads call back into the Worker, which
 * reads the slices of the user's file (or the ranges of a URL) synchronously: the module never
 * holds the whole file, and emscripten's file system is not used. Only the public header.
 */
#include "recording/edf.h"

#include <emscripten.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads `bytes` bytes at `offset` of the open file into `buffer` (the Worker's Module.readAt):
 * the count read, or -1 when the read failed. Offsets travel as doubles, exact to 2^53. */
EM_JS(double, viewer_js_read_at, (void *buffer, double bytes, double offset),
      { return Module.readAt(buffer, bytes, offset); })

static double viewer_size_of_file = 0;

static int64_t viewer_read_at(void *user, void *buffer, int64_t bytes, int64_t offset) {
    (void)user;
    const double got = viewer_js_read_at(buffer, (double)bytes, (double)offset);
    return got < 0 ? -1 : (int64_t)got;
}

static int64_t viewer_size(void *user) {
    (void)user;
    return (int64_t)viewer_size_of_file;
}

static void viewer_release(void *user) {
    (void)user;
}

/* The header of the file last opened (the record is large: one, statically). */
static struct edf_header_info viewer_header;
/* The annotations collected so far: none after the lazy open, all after viewer_read_annotations. */
static int64_t viewer_annotation_count = 0;

/* Opens the file of `size` bytes that Module.readAt reads, tolerantly and lazily: the header
 * and the first data record only (viewer_read_annotations collects the rest). `local` (a
 * file of this machine, whose slices are cheap) asks for exact reads; otherwise (a URL) reads
 * go through the library's block cache. Returns the handle, or the negative open code. */
EMSCRIPTEN_KEEPALIVE int viewer_open(double size, const char *name, int local) {
    const struct edf_source source = {viewer_read_at, viewer_size, viewer_release, NULL};
    viewer_size_of_file = size;
    memset(&viewer_header, 0, sizeof viewer_header);
    const int flags = EDF_OPEN_TOLERANT | (local ? EDF_OPEN_EXACT_READS : 0);
    if (edfopen_source_readonly(&source, name, &viewer_header, EDF_READ_NO_ANNOTATIONS, flags) !=
        0) {
        return viewer_header.filetype < 0 ? viewer_header.filetype : -1;
    }
    viewer_annotation_count = viewer_header.annotation_count;
    return viewer_header.handle;
}

/* Reads the annotations of every data record (and with them an EDF+D file's time axis and the
 * problems of its annotation signals): their count, or a negative code. */
EMSCRIPTEN_KEEPALIVE int viewer_read_annotations(int handle) {
    const int n = edf_read_annotations(handle, EDF_READ_ALL_ANNOTATIONS);
    viewer_annotation_count = n < 0 ? viewer_annotation_count : n;
    return n;
}

/* The library's text for a result code (static). */
EMSCRIPTEN_KEEPALIVE const char *viewer_error_text(int code) {
    return edf_error_text(code);
}

EMSCRIPTEN_KEEPALIVE int viewer_close(int handle) {
    return edfclose_file(handle);
}

/* A growing text. On a failed allocation the text is dropped and stays null. */
struct text {
    char *bytes;
    size_t length;
    size_t room;
};

static void add_bytes(struct text *t, const char *bytes, size_t n) {
    if (t->bytes == NULL && t->room != 0) {
        return;
    }
    if (t->length + n + 1 > t->room) {
        size_t room = t->room < 4096 ? 4096 : t->room;
        while (t->length + n + 1 > room) {
            room *= 2;
        }
        char *grown = realloc(t->bytes, room);
        if (grown == NULL) {
            free(t->bytes);
            t->bytes = NULL;
            t->room = 1;
            return;
        }
        t->bytes = grown;
        t->room = room;
    }
    memcpy(t->bytes + t->length, bytes, n);
    t->length += n;
    t->bytes[t->length] = '\0';
}

static void add_format(struct text *t, const char *format, ...) {
    char piece[96];
    va_list arguments;
    va_start(arguments, format);
    const int n = vsnprintf(piece, sizeof piece, format, arguments);
    va_end(arguments);
    if (n > 0) {
        add_bytes(t, piece, (size_t)n < sizeof piece ? (size_t)n : sizeof piece - 1);
    }
}

/* A JSON string of the NUL-terminated UTF-8 `s`, trailing spaces taken off. */
static void add_string(struct text *t, const char *s) {
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == ' ') {
        --n;
    }
    add_bytes(t, "\"", 1);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', (char)c};
            add_bytes(t, escaped, 2);
        } else if (c < 0x20 || c == 0x7F) {
            add_format(t, "\\u%04x", c);
        } else {
            add_bytes(t, (const char *)&c, 1);
        }
    }
    add_bytes(t, "\"", 1);
}

static void add_field(struct text *t, const char *name, const char *value) {
    add_format(t, "\"%s\":", name);
    add_string(t, value);
    add_bytes(t, ",", 1);
}

/* Everything the page shows of the open file as JSON text (times in ticks): its header,
 * signals, annotations, problems and segments. The caller frees it with viewer_free. Null
 * when memory runs out. */
EMSCRIPTEN_KEEPALIVE char *viewer_describe(int handle) {
    const struct edf_header_info *h = &viewer_header;
    struct text t = {NULL, 0, 0};
    add_format(&t, "{\"filetype\":%d,\"file_duration\":%lld,", h->filetype,
               (long long)h->file_duration);
    add_format(&t, "\"start\":[%d,%d,%d,%d,%d,%d,%lld],", h->start_year, h->start_month,
               h->start_day, h->start_hour, h->start_minute, h->start_second,
               (long long)h->start_subsecond);
    add_format(&t, "\"record_duration\":%lld,\"records\":%lld,", (long long)h->datarecord_duration,
               (long long)h->datarecord_count);
    add_field(&t, "patient", h->patient);
    add_field(&t, "recording", h->recording);
    add_field(&t, "patient_code", h->patient_code);
    add_field(&t, "sex", h->sex);
    add_field(&t, "birthdate", h->birthdate);
    add_field(&t, "patient_name", h->patient_name);
    add_field(&t, "patient_additional", h->patient_additional);
    add_field(&t, "admin_code", h->admin_code);
    add_field(&t, "technician", h->technician);
    add_field(&t, "equipment", h->equipment);
    add_field(&t, "recording_additional", h->recording_additional);
    add_bytes(&t, "\"signals\":[", 11);
    for (int i = 0; i < h->ordinary_signal_count; ++i) {
        const struct edf_signal_info *s = &h->signals[i];
        add_bytes(&t, i ? ",{" : "{", i ? 2 : 1);
        add_field(&t, "label", s->label);
        add_field(&t, "unit", s->physical_dimension);
        add_field(&t, "prefilter", s->prefilter);
        add_field(&t, "transducer", s->transducer);
        add_format(&t, "\"spr\":%d,\"physical_min\":%.17g,\"physical_max\":%.17g,",
                   s->samples_per_record, s->physical_min, s->physical_max);
        add_format(&t, "\"digital_min\":%d,\"digital_max\":%d}", s->digital_min, s->digital_max);
    }
    add_bytes(&t, "],\"annotations\":[", 17);
    for (int64_t n = 0; n < viewer_annotation_count; ++n) {
        struct edf_annotation a;
        if (edf_get_annotation(handle, (int)n, &a) != 0) {
            break;
        }
        add_format(&t, "%s{\"onset\":%lld,\"duration\":%lld,\"text\":", n ? "," : "",
                   (long long)a.onset, (long long)a.duration);
        add_string(&t, a.annotation);
        add_bytes(&t, "}", 1);
    }
    add_bytes(&t, "],\"problems\":[", 14);
    const int problems = edf_get_problem_count(handle);
    for (int n = 0; n < problems; ++n) {
        struct edf_problem p;
        if (edf_get_problem(handle, n, &p) != 0) {
            break;
        }
        add_bytes(&t, n ? ",{" : "{", n ? 2 : 1);
        add_field(&t, "field", p.field);
        add_field(&t, "found", p.found);
        add_field(&t, "message", p.message);
        add_format(&t, "\"action\":%d,\"code\":%d,\"record\":%lld,\"signal\":%d}", p.action, p.code,
                   (long long)p.record, p.signal);
    }
    add_bytes(&t, "],\"segments\":[", 14);
    const int segments = edf_get_segment_count(handle);
    for (int n = 0; n < segments; ++n) {
        struct edf_segment s;
        if (edf_get_segment(handle, n, &s) != 0) {
            break;
        }
        add_format(&t, "%s{\"start\":%lld,\"first_record\":%lld,\"records\":%lld}", n ? "," : "",
                   (long long)s.start, (long long)s.first_record, (long long)s.record_count);
    }
    add_bytes(&t, "]}", 2);
    return t.bytes;
}

EMSCRIPTEN_KEEPALIVE void viewer_free(void *p) {
    free(p);
}

/* Reads records first_record to first_record + record_count - 1 of the signal_count signals
 * listed in `signals` into `out`: signal i's physical samples from out + offsets[i] on.
 * Returns the number of records read, or -1. */
EMSCRIPTEN_KEEPALIVE int viewer_read_records(int handle, double first_record, int record_count,
                                             int signal_count, const int *signals,
                                             const int *offsets, double *out) {
    if (signal_count < 1 || signal_count > EDF_MAX_SIGNALS) {
        return -1;
    }
    double **bufs = malloc(sizeof(double *) * (size_t)signal_count);
    if (bufs == NULL) {
        return -1;
    }
    for (int i = 0; i < signal_count; ++i) {
        bufs[i] = out + offsets[i];
    }
    const int read = edfread_physical_records(handle, (int64_t)first_record, record_count,
                                              signal_count, signals, bufs);
    free(bufs);
    return read;
}
