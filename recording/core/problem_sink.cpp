// Collecting problems and the repairs of a copy.
#include "recording/core/problem_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace edf {

void edf_found_text(char out[81], const void *bytes, int64_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    int length = 0;
    for (int64_t i = 0; i < n; i++) {
        const unsigned char c = b[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (length + 1 > 80) {
                break;
            }
            out[length++] = static_cast<char>(c);
        } else {
            if (length + 4 > 80) {
                break;
            }
            static const char digits[] = "0123456789ABCDEF";
            out[length++] = '\\';
            out[length++] = 'x';
            out[length++] = digits[c >> 4];
            out[length++] = digits[c & 15];
        }
    }
    out[length] = '\0';
}

bool edf_report(edf_problem_sink *sink, const edf_problem_place &place, int code, int action,
                const void *found, int64_t n, const char *format, ...) {
    if (sink->first_code == 0) {
        sink->first_code = code;
    }
    if (sink->policy == edf_policy::strict) {
        return code == 0; // what the strict open accepts is not its problem
    }
    if (sink->count >= sink->capacity) {
        const int64_t capacity = sink->capacity > 0 ? 2 * static_cast<int64_t>(sink->capacity) : 16;
        void *grown =
            capacity <= INT32_MAX
                ? std::realloc(sink->problems, static_cast<size_t>(capacity) * sizeof(edf_problem))
                : nullptr;
        if (grown == nullptr) {
            sink->out_of_memory = true;
            return false;
        }
        sink->problems = static_cast<edf_problem *>(grown);
        sink->capacity = static_cast<int>(capacity);
    }
    edf_problem &p = sink->problems[sink->count++];
    std::memset(&p, 0, sizeof p);
    p.offset = place.offset;
    p.signal = place.signal;
    p.record = place.record;
    p.code = code;
    p.action = action;
    std::snprintf(p.field, sizeof p.field, "%s", place.field);
    edf_found_text(p.found, found, n);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(p.message, sizeof p.message, format, arguments);
    va_end(arguments);
    return action != EDF_PROBLEM_FATAL;
}

void edf_replace(edf_problem_sink *sink, int64_t offset, const void *bytes, int64_t n) {
    if (!sink->collect_replacements || sink->out_of_memory) {
        return;
    }
    if (sink->replacement_count >= sink->replacement_capacity) {
        const int capacity = sink->replacement_capacity > 0 ? 2 * sink->replacement_capacity : 16;
        void *grown = std::realloc(sink->replacements,
                                   static_cast<size_t>(capacity) * sizeof(edf_replacement));
        if (grown == nullptr) {
            sink->out_of_memory = true;
            return;
        }
        sink->replacements = static_cast<edf_replacement *>(grown);
        sink->replacement_capacity = capacity;
    }
    unsigned char *copy =
        static_cast<unsigned char *>(std::malloc(static_cast<size_t>(n > 0 ? n : 1)));
    if (copy == nullptr) {
        sink->out_of_memory = true;
        return;
    }
    std::memcpy(copy, bytes, static_cast<size_t>(n));
    sink->replacements[sink->replacement_count++] = edf_replacement{offset, n, copy};
}

void edf_release_sink(edf_problem_sink *sink) {
    std::free(sink->problems);
    for (int i = 0; i < sink->replacement_count; i++) {
        std::free(sink->replacements[i].bytes);
    }
    std::free(sink->replacements);
    *sink = edf_problem_sink{};
}

} // namespace edf
