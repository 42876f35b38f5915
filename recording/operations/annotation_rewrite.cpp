// The rewrite walks the TALs as the reader's tokenizer (recording/core/tal_codec.h) finds
// them, so that it takes exactly the lists that the reader takes; it writes the changed list
// into scratch and copies it back, zero-filled.
#include "recording/operations/annotation_rewrite.h"

#include "recording/core/checked_arithmetic.h"
#include "recording/core/tal_codec.h"
#include "recording/edf.h"

#include <cstring>

namespace edf {

int edf_rewrite_annotation_signal(unsigned char *bytes, int64_t length, bool first_signal,
                                  const edf_tal_rewrite &how, unsigned char *work) {
    using namespace edf::tal;
    builder out(work, length);
    bool first_tal = true;
    token t;
    for (int64_t at = 0; next_token(bytes, length, at, &t); at = t.next) {
        if (t.kind == token_kind::empty) {
            out.put(static_cast<unsigned char>(0));
            continue;
        }
        if (t.kind == token_kind::padding) {
            break;
        }
        if (t.kind != token_kind::tal) {
            return EDF_ERR_FORMAT; // a broken TAL, or bytes after the padding
        }
        int64_t moved = t.onset;
        if (how.shift_ticks != 0 && edf_sub_overflow(t.onset, how.shift_ticks, &moved)) {
            return EDF_ERR_ANONYMIZED_VALUE;
        }
        // The time-keeping TAL's own text, which EDF+ leaves empty, stays empty.
        const bool timekeeping = first_signal && first_tal;
        put_tal(out, bytes, t, how.shift_ticks != 0 ? &moved : nullptr,
                [&](builder &b, int index, const unsigned char *text, int64_t n) {
                    if (!how.drop_texts) {
                        b.text(text, n);
                    } else {
                        b.text("X", timekeeping && index == 0 ? 0 : 1);
                    }
                });
        first_tal = false;
    }
    if (first_signal && (first_tal || bytes[0] == 0)) {
        return EDF_ERR_FORMAT; // no time-keeping TAL
    }
    if (out.overflow()) {
        return EDF_ERR_ANONYMIZED_VALUE;
    }
    std::memcpy(bytes, work, static_cast<size_t>(out.size()));
    std::memset(bytes + out.size(), 0, static_cast<size_t>(length - out.size()));
    return 0;
}

} // namespace edf
