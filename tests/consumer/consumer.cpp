// A C++ program that uses the installed library through the same header.
#include <recording/edf.h>

#include <cstdio>
#include <vector>

int main() {
    const int handle = edfopen_file_writeonly("consumer_cxx.bdf", EDF_FILETYPE_BDFPLUS, 1);
    if (handle < 0) {
        return 1;
    }
    edf_set_samplefrequency(handle, 0, 10);
    edf_set_physical_maximum(handle, 0, 1.0);
    edf_set_physical_minimum(handle, 0, -1.0);
    edf_set_digital_maximum(handle, 0, 8388607);
    edf_set_digital_minimum(handle, 0, -8388608);
    std::vector<int> samples(10, 42);
    if (edfwrite_digital_samples(handle, samples.data()) != 0 || edfclose_file(handle) != 0) {
        return 1;
    }
    std::printf("open files: %d\n", edf_get_number_of_open_files());
    return 0;
}
