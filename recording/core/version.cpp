// The library's version, as the header states it.
#include "recording/edf.h"

extern "C" const char *recording_version(void) {
    return RECORDING_VERSION_STRING;
}
