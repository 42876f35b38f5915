// Creating a file whose ordinary signals are all alike, described in the same call.
#include "recording/core/recording.h"

#include <cstdio>

using namespace edf;

extern "C" int edfopen_file_writeonly_with_params(const char *path, int filetype,
                                                  int number_of_signals, int samplefrequency,
                                                  double physical_maximum,
                                                  const char *physical_dimension) {
    const int handle = edfopen_file_writeonly(path, filetype, number_of_signals);
    if (handle < 0) {
        return handle;
    }
    const bool bdf = filetype == EDF_FILETYPE_BDFPLUS;
    for (int s = 0; s < number_of_signals; s++) {
        char label[32];
        std::snprintf(label, sizeof label, "chan. %i", s + 1);
        if (edf_set_samplefrequency(handle, s, samplefrequency) != 0 ||
            edf_set_physical_maximum(handle, s, physical_maximum) != 0 ||
            edf_set_physical_minimum(handle, s, -physical_maximum) != 0 ||
            edf_set_physical_dimension(handle, s, physical_dimension) != 0 ||
            edf_set_label(handle, s, label) != 0 ||
            edf_set_digital_maximum(handle, s, bdf ? 8388607 : 32767) != 0 ||
            edf_set_digital_minimum(handle, s, bdf ? -8388608 : -32768) != 0) {
            edfclose_file(handle);
            return -1;
        }
    }
    return handle;
}
