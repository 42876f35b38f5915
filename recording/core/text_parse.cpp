// The library never hands header or annotation numbers to the C library's conversions, whose
// results depend on the process locale; these routines define the accepted forms exactly.
#include "recording/core/text_parse.h"

#include <cmath>
#include <cstring>

namespace edf {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// 32-bit accumulation step with two's-complement wrap-around instead of signed overflow.
int32_t wrap_step(int32_t value, int32_t sign, int digit) {
    uint32_t v = static_cast<uint32_t>(value) * 10u + static_cast<uint32_t>(sign * digit);
    return static_cast<int32_t>(v);
}

// Leading spaces, one optional sign, then digits, as edf_atoi reads them. Returns the
// position of the first character after the digits.
const char *parse_integer_part(const char *text, int32_t *sign, int32_t *value) {
    const char *p = text;
    while (*p == ' ') {
        p++;
    }
    *sign = 1;
    if (*p == '+' || *p == '-') {
        if (*p == '-') {
            *sign = -1;
        }
        p++;
    }
    *value = 0;
    while (is_digit(*p)) {
        *value = wrap_step(*value, *sign, *p - '0');
        p++;
    }
    return p;
}

} // namespace

int edf_text_is_number(const char *text) {
    const char *p = text;
    if (*p == '\0') {
        return 1;
    }
    if (*p == '+' || *p == '-') {
        p++;
        if (*p == '\0') {
            return 1;
        }
    }
    int digits = 0;
    int spaces = 0;
    bool point = false;
    for (; *p != '\0'; p++) {
        const char c = *p;
        if (c == ' ') {
            if (digits == 0) {
                return 1;
            }
            spaces++;
        } else if (is_digit(c)) {
            if (spaces > 0) {
                return 1;
            }
            digits++;
        } else if (c == '.') {
            if (spaces > 0 || point) {
                return 1;
            }
            point = true;
        } else if (c == 'e' || c == 'E') {
            if (digits == 0 || p[1] == '\0') {
                return 1;
            }
            p++;
            if (*p == '+' || *p == '-') {
                p++;
                if (*p == '\0') {
                    return 1;
                }
            }
            int exponent_digits = 0;
            for (; *p != '\0'; p++) {
                if (*p == ' ') {
                    if (exponent_digits == 0) {
                        return 1;
                    }
                    spaces++;
                } else if (is_digit(*p)) {
                    if (spaces > 0) {
                        return 1;
                    }
                    exponent_digits++;
                } else {
                    return 1;
                }
            }
            return 0;
        } else {
            return 1;
        }
    }
    return digits > 0 ? 0 : 1;
}

// An integer is a number without a point or an exponent.
int edf_text_is_integer(const char *text) {
    return edf_text_is_number(text) == 0 && std::strpbrk(text, ".eE") == nullptr ? 0 : 1;
}

int edf_atoi(const char *text) {
    int32_t sign;
    int32_t value;
    parse_integer_part(text, &sign, &value);
    return value;
}

double edf_atof(const char *text) {
    int32_t sign;
    int32_t integer;
    const char *start = text;
    while (*start == ' ') {
        start++;
    }
    parse_integer_part(text, &sign, &integer);
    if (*start == '+' || *start == '-') {
        start++;
    }
    double x = static_cast<double>(integer);

    // The run of digits and points after the sign; the fraction is the digits that follow
    // its first point, up to a second point or any other character.
    const char *p = start;
    const char *point = nullptr;
    while (is_digit(*p) || *p == '.') {
        if (*p == '.') {
            if (point != nullptr) {
                break;
            }
            point = p;
        }
        p++;
    }
    if (point != nullptr) {
        int32_t fraction = 0;
        uint32_t divisor = 1;
        int n = 0;
        for (const char *q = point + 1; is_digit(*q); q++) {
            fraction = wrap_step(fraction, 1, *q - '0');
            divisor *= 10u;
            n++;
        }
        if (n > 0 && divisor != 0) {
            const int32_t signed_fraction =
                static_cast<int32_t>(static_cast<uint32_t>(fraction) * static_cast<uint32_t>(sign));
            x = x + static_cast<double>(signed_fraction) /
                        static_cast<double>(static_cast<int32_t>(divisor));
        }
    }

    if ((*p == 'e' || *p == 'E') && p != text) {
        p++;
        bool divide = false;
        if (*p == '-') {
            divide = true;
            p++;
        } else if (*p == '+') {
            p++;
        }
        int32_t exponent_sign;
        int32_t k;
        const char *digits_start = p;
        while (*digits_start == ' ') {
            digits_start++;
        }
        if (*digits_start == '+' || *digits_start == '-') {
            digits_start++;
        }
        parse_integer_part(p, &exponent_sign, &k);
        if (is_digit(*digits_start) && k > 0) {
            // Once x is zero, infinite or not a number, further steps cannot change it.
            for (int32_t i = 0; i < k && std::isfinite(x) && x != 0.0; i++) {
                x = divide ? x / 10.0 : x * 10.0;
            }
        }
    }
    return x;
}

namespace {

// The exponent form of the record-duration field ('1E-3', '2.5e+2'), which the field
// validator accepts as well. Mantissa digits m with f of them after the point and a decimal
// exponent e stand for m x 10^(7 + e - f) ticks; the power of ten is applied in integers, so
// the result is exact whenever the value is a whole number of ticks and is otherwise
// truncated toward zero at 100 ns, like annotation times. A value whose tick count does not
// fit 64 bits gives -1, which no plain field can give.
int64_t exponent_field_to_ticks(const char *field, int length, int exponent_at) {
    int64_t mantissa = 0;
    int64_t fraction_digits = 0;
    bool after_point = false;
    for (int i = 0; i < exponent_at; i++) {
        if (field[i] == '.') {
            after_point = true;
            continue;
        }
        // At most seven characters of at most 255 each: no overflow.
        mantissa = mantissa * 10 + (static_cast<unsigned char>(field[i]) - '0');
        if (after_point) {
            fraction_digits++;
        }
    }
    int i = exponent_at + 1;
    int64_t exponent_sign = 1;
    if (i < length && (field[i] == '+' || field[i] == '-')) {
        exponent_sign = field[i] == '-' ? -1 : 1;
        i++;
    }
    int64_t exponent = 0;
    for (; i < length; i++) {
        exponent = exponent * 10 + (static_cast<unsigned char>(field[i]) - '0');
    }
    int64_t power = 7 + exponent_sign * exponent - fraction_digits;
    if (mantissa <= 0) {
        return 0;
    }
    for (; power > 0; power--) {
        if (mantissa > INT64_MAX / 10) {
            return -1;
        }
        mantissa *= 10;
    }
    for (; power < 0 && mantissa != 0; power++) {
        mantissa /= 10;
    }
    return mantissa;
}

} // namespace

int64_t edf_field_to_ticks(char *field) {
    if (field[0] == '+' || field[0] == '-') {
        std::memmove(field, field + 1, 7);
        field[7] = ' ';
    }
    if (field[0] == ' ') {
        return 0;
    }
    int length = 8;
    for (int i = 1; i < 8; i++) {
        if (field[i] == ' ') {
            length = i;
            break;
        }
    }
    for (int i = 1; i < length; i++) {
        if (field[i] == 'e' || field[i] == 'E') {
            return exponent_field_to_ticks(field, length, i);
        }
    }
    int point = length;
    for (int i = 0; i < length; i++) {
        if (field[i] == '.') {
            point = i;
            break;
        }
    }
    // Weights stay below 10^15 and characters below 256, so the sum cannot overflow.
    int64_t ticks = 0;
    int64_t weight = 10000000;
    for (int i = point - 1; i >= 0; i--) {
        ticks += (static_cast<unsigned char>(field[i]) - '0') * weight;
        weight *= 10;
    }
    weight = 1000000;
    for (int i = point + 1; i < length; i++) {
        ticks += (static_cast<unsigned char>(field[i]) - '0') * weight;
        weight /= 10;
    }
    return ticks;
}

namespace {

// Accumulates the tick value in unsigned 64-bit arithmetic (wrap-around is defined there)
// and notes whether the exact magnitude exceeded the signed 64-bit range.
uint64_t text_to_ticks(const char *text, const char *end, bool *negative, bool *overflow) {
    const char *p = text;
    *negative = false;
    *overflow = false;
    if (p < end && (*p == '+' || *p == '-')) {
        *negative = *p == '-';
        p++;
    }
    if (p == end) {
        return 0;
    }
    const char *point =
        static_cast<const char *>(std::memchr(p, '.', static_cast<size_t>(end - p)));
    const char *integer_end = point != nullptr ? point : end;
    constexpr uint64_t limit = static_cast<uint64_t>(INT64_MAX) + 1;

    uint64_t ticks = 0;
    uint64_t weight = 10000000;
    bool weight_overflow = false;
    for (const char *q = integer_end; q > p;) {
        q--;
        const uint64_t digit = static_cast<unsigned char>(*q) - static_cast<uint64_t>('0');
        // Characters other than digits are not expected here (callers validate first);
        // they contribute as the arithmetic gives, without undefined behaviour.
        if (digit != 0 && (weight_overflow || digit > limit / weight)) {
            *overflow = true;
        }
        const uint64_t term = digit * weight;
        if (ticks + term < ticks) {
            *overflow = true;
        }
        ticks += term;
        if (weight > limit / 10) {
            weight_overflow = true;
        }
        weight *= 10;
    }
    if (point != nullptr) {
        uint64_t fraction_weight = 1000000;
        for (const char *q = point + 1; q < end && fraction_weight > 0; q++) {
            const uint64_t term =
                (static_cast<unsigned char>(*q) - static_cast<uint64_t>('0')) * fraction_weight;
            if (ticks + term < ticks) {
                *overflow = true;
            }
            ticks += term;
            fraction_weight /= 10;
        }
    }
    if (ticks > (*negative ? limit : limit - 1)) {
        *overflow = true;
    }
    return ticks;
}

} // namespace

bool edf_text_to_ticks_checked(const char *text, int64_t *ticks) {
    return edf_text_to_ticks_checked(text, std::strlen(text), ticks);
}

bool edf_text_to_ticks_checked(const char *text, size_t n, int64_t *ticks) {
    bool negative;
    bool overflow;
    const uint64_t magnitude = text_to_ticks(text, text + n, &negative, &overflow);
    if (overflow) {
        return false;
    }
    *ticks = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

} // namespace edf
