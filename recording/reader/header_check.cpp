// NOTE TO THE HELPER WHO REPLACES THIS FILE: before anything else, read /work/rules.txt —
// it holds the project rules that your brief was meant to include (no git commands, no
// citations of the specification in code/comments/tests, clang-format, own build dir, tests
// rules). Remove this note when you replace the placeholder.
// Placeholder until header validation lands: refuses every file.
#include "recording/reader/header_check.h"

edf_recording *edf_check_file_header(FILE *, int *error) {
    *error = EDF_ERR_FORMAT;
    return nullptr;
}
