// Rewriting the time-stamped annotation lists (TALs) of one annotation signal, for the
// de-identification of a file: onsets moved by a fixed number of ticks, texts replaced.
#pragma once

#include <cstdint>

struct edf_tal_rewrite {
    int64_t shift_ticks; // subtracted from every onset (record times included)
    bool drop_texts;     // every annotation text becomes "X"
};

// Rewrites the `length` bytes of one annotation signal in place. `first_signal` marks the
// record's first annotation signal, whose first TAL keeps the record's time; with drop_texts
// that TAL's own text (which EDF+ leaves empty) is emptied. Durations are kept as written;
// new onsets are written in their shortest form ("+12", "+0.25", "-1.5"). `work` is scratch
// of `length` bytes. Returns 0; EDF_ERR_FORMAT when the bytes are not a valid list of TALs
// (edf::tal's tokenizer finds a broken one); EDF_ERR_ANONYMIZED_VALUE when the rewritten list
// does not fit the signal or a moved onset does not fit 64 bits.
int edf_rewrite_annotation_signal(unsigned char *bytes, int64_t length, bool first_signal,
                                  const edf_tal_rewrite &how, unsigned char *work);
