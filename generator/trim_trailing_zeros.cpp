#include "trim_trailing_zeros.h"

#include <cstring>

namespace {

// Deletes the k characters that end just before position `end`.
void remove_before(char *text, size_t end, size_t k) {
    std::memmove(text + end - k, text + end, std::strlen(text + end) + 1);
}

} // namespace

void trim_trailing_zeros(char *text) {
    // Each removal can make a new run of trailing zeros (as in '1.0.0'), so the scan starts
    // over after every removal.
    for (;;) {
        if (text[0] == '\0') {
            return;
        }
        bool in_number = false;
        bool in_fraction = false;
        size_t zero_run = 0;
        size_t i = 0;
        bool removed = false;
        for (; text[i] != '\0'; i++) {
            const char c = text[i];
            if (c >= '0' && c <= '9') {
                if (c != '0') {
                    zero_run = 0;
                }
                in_number = true;
                if (c == '0' && in_fraction) {
                    zero_run++;
                }
                continue;
            }
            if (zero_run > 0) {
                const size_t k = zero_run + (text[i - zero_run - 1] == '.' ? 1 : 0);
                remove_before(text, i, k);
                removed = true;
                break;
            }
            if (c == '.') {
                if (in_number) {
                    in_fraction = true;
                }
            } else {
                in_number = false;
                in_fraction = false;
            }
        }
        if (removed) {
            continue;
        }
        if (zero_run > 0) {
            const size_t k = zero_run + (text[i - zero_run - 1] == '.' ? 1 : 0);
            text[i - k] = '\0';
        }
        return;
    }
}
