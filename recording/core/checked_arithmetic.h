// 64-bit sums, differences and products that report overflow instead of wrapping, and the
// printf-format check of the library's formatting functions: with the compiler's built-ins
// where it has them (g++, clang++), in plain C++ elsewhere (MSVC, say).
#pragma once

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define EDF_PRINTF_LIKE(format_index, first_argument)                                              \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define EDF_PRINTF_LIKE(format_index, first_argument)
#endif

namespace edf {

// Each stores the exact result in *out and returns false, or returns true (and leaves *out
// unspecified) when the result lies outside the 64-bit range.
inline bool edf_add_overflow(int64_t a, int64_t b, int64_t *out) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_add_overflow(a, b, out);
#else
    if ((b > 0 && a > INT64_MAX - b) || (b < 0 && a < INT64_MIN - b)) {
        return true;
    }
    *out = a + b;
    return false;
#endif
}

inline bool edf_sub_overflow(int64_t a, int64_t b, int64_t *out) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_sub_overflow(a, b, out);
#else
    if ((b < 0 && a > INT64_MAX + b) || (b > 0 && a < INT64_MIN + b)) {
        return true;
    }
    *out = a - b;
    return false;
#endif
}

inline bool edf_mul_overflow(int64_t a, int64_t b, int64_t *out) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_mul_overflow(a, b, out);
#else
    if (a == 0 || b == 0) {
        *out = 0;
        return false;
    }
    if ((a == -1 && b == INT64_MIN) || (b == -1 && a == INT64_MIN)) {
        return true;
    }
    const bool negative = (a < 0) != (b < 0);
    const uint64_t ua = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
    const uint64_t ub = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
    const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
    if (ua > limit / ub) {
        return true;
    }
    const uint64_t product = ua * ub;
    *out = negative ? static_cast<int64_t>(0 - product) : static_cast<int64_t>(product);
    return false;
#endif
}

} // namespace edf
