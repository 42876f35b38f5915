// Placeholder until header validation lands: refuses every file.
#include "recording/reader/header_check.h"

edf_recording *edf_check_file_header(FILE *, int *error) {
    *error = EDF_ERR_FORMAT;
    return nullptr;
}
