// The reader's one pass over a file's header and annotation signals reports every rule that
// the file breaks to a sink. The sink's policy decides what happens next: strict ends the pass
// with the problem's code (the plain open), check lists the problem and goes on as the
// tolerant open would (edf_check_file), tolerant lists it and applies the repair. A fatal
// problem ends the pass under every policy. Because all three walk the same checks in the
// same order, the strict open succeeds exactly when every problem that the check finds has
// code 0 (what the strict open accepts as it stands), and otherwise ends at the first problem
// with a code, with that code.
#pragma once

#include "recording/core/checked_arithmetic.h"
#include "recording/edf.h"

#include <cstdint>

namespace edf {

enum class edf_policy { strict, check, tolerant };

// Bytes that a repaired copy writes over the file's own, at a file offset; kept only when the
// sink collects them for edf_repair_file.
struct edf_replacement {
    int64_t offset;
    int64_t length;
    unsigned char *bytes;
};

struct edf_problem_sink {
    edf_policy policy = edf_policy::strict;
    bool collect_replacements = false;
    edf_problem *problems = nullptr; // check and tolerant: every problem reported
    int count = 0;
    int capacity = 0;
    int first_code = 0; // the first non-zero code of a problem, 0 while there is none
    bool out_of_memory = false;
    edf_replacement *replacements = nullptr;
    int replacement_count = 0;
    int replacement_capacity = 0;
    // A repaired copy: TALs that found no room in any record copied after their own.
    bool tals_without_room = false;
};

// Where the problem is and what it is about.
struct edf_problem_place {
    int64_t offset;
    int signal;
    int64_t record;
    const char *field;
};

// Reports a problem with the given code and action, the offending bytes (found, n bytes) and
// the sentence of the message (printf-style; format numbers with integer conversions only,
// which do not depend on the locale). Returns true when the pass is to repair the problem (or,
// for EDF_PROBLEM_CONFORMS, read on as it stands) and go on, false when it must end with
// `code`: under the strict policy every problem with a code (one of code 0, which the strict
// open accepts, is not even listed there), under every policy a fatal one.
bool edf_report(edf_problem_sink *sink, const edf_problem_place &place, int code, int action,
                const void *found, int64_t n, const char *format, ...) EDF_PRINTF_LIKE(7, 8);

// Notes the bytes that a repaired copy writes at `offset` (ignored unless the sink collects
// them). A later replacement of the same bytes wins.
void edf_replace(edf_problem_sink *sink, int64_t offset, const void *bytes, int64_t n);

// Frees the lists the sink holds.
void edf_release_sink(edf_problem_sink *sink);

// The found text of a problem: printable ASCII as it is, other bytes as \xNN, cut to 80.
void edf_found_text(char out[81], const void *bytes, int64_t n);

} // namespace edf
