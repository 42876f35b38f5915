// Words for the library's error codes, for programs that report a failure to a person.
// -1 has two meanings: an allocation that failed while opening, and the plain failure result
// of every other operation (a bad handle, argument or state), so its text names both.
#include "recording/edf.h"

extern "C" const char *edf_error_text(int code) {
    switch (code) {
    case EDF_ERR_NO_MEMORY:
        return "out of memory, or invalid handle, argument or state";
    case EDF_ERR_CANNOT_OPEN:
        return "the file cannot be opened or created";
    case EDF_ERR_FORMAT:
        return "the file's header or annotations break the EDF/BDF format";
    case EDF_ERR_TOO_MANY_FILES:
        return "too many files are open (at most 64 at once)";
    case EDF_ERR_READ:
        return "the file's header cannot be read in full (the file is too short or unreadable)";
    case EDF_ERR_ALREADY_OPEN:
        return "the file is already open";
    case EDF_ERR_FILETYPE:
        return "the file type cannot be written (only EDF+ and BDF+ can)";
    case EDF_ERR_SIGNAL_COUNT:
        return "the number of signals is out of range (0 to 4095)";
    case EDF_ERR_DISCONTINUOUS:
        return "the file is a discontinuous EDF+D/BDF+D recording, which the strict open does "
               "not read (the tolerant open does)";
    case EDF_ERR_ANNOTATION_MODE:
        return "the annotation-read mode is not 0, 1 or 2";
    case EDF_ERR_BEING_WRITTEN:
        return "another program is writing it";
    case EDF_ERR_WRITE:
        return "the file cannot be written in full (a write, sync or truncation failed: a full "
               "disk, say)";
    case EDF_ERR_OUTPUT_EXISTS:
        return "the output file exists, and is replaced only when that is asked for";
    case EDF_ERR_NO_CONTINUOUS_FORM:
        return "the recording has no continuous form that keeps every sample's time (no "
               "ordinary signals, records of no duration, gaps that are not whole sample "
               "periods, or more annotations than the records hold)";
    case EDF_ERR_NEGATIVE_SIGNAL_COUNT:
        return "the number of signals is negative";
    case EDF_ERR_TOO_MANY_SIGNALS:
        return "too many signals for one file (at most 4096)";
    case EDF_ERR_SAMPLES_PER_RECORD:
        return "a signal has fewer than one sample per data record";
    case EDF_ERR_DIGMIN_IS_DIGMAX:
        return "a signal's digital minimum equals its digital maximum";
    case EDF_ERR_DIGMAX_BELOW_DIGMIN:
        return "a signal's digital maximum is below its digital minimum";
    case EDF_ERR_PHYSMIN_IS_PHYSMAX:
        return "a signal's physical minimum equals its physical maximum";
    case EDF_ERR_RECORD_TOO_LARGE:
        return "a data record would be too large (over 10 MiB for EDF+, 15 MiB for BDF+)";
    case EDF_ERR_PHYSICAL_VALUE_TEXT:
        return "a signal's physical minimum or maximum cannot be written in the header's "
               "eight characters";
    case EDF_ERR_NEEDS_COPY:
        return "in place only the header can change, but the de-identification must rewrite "
               "data records (a sub-second start or annotation texts): write a copy instead";
    case EDF_ERR_ANONYMIZED_VALUE:
        return "a de-identified value does not fit the file (a shifted birth date outside the "
               "years 0001 to 9999, or an annotation list longer than its annotation signal)";
    case EDF_ERR_ANNOTATIONS_LOST:
        return "the file was closed, but some queued annotations are not in it (no room left "
               "or a failed write); declare more annotation signals to make room";
    default:
        return "unknown error";
    }
}
