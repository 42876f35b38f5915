/* A C program that writes a small EDF+ file through the installed library. Built once with
 * CMake's find_package and once with the flags of pkg-config. */
#include <recording/edf.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    double samples[100];
    int handle = edfopen_file_writeonly_with_params("consumer_c.edf", EDF_FILETYPE_EDFPLUS, 1, 100,
                                                    50.0, "uV");
    int i;
    if (handle < 0) {
        return 1;
    }
    for (i = 0; i < 100; i++) {
        samples[i] = i * 0.5;
    }
    if (edfwrite_physical_samples(handle, samples) != 0) {
        return 1;
    }
    edfwrite_annotation_utf8_us(handle, 0, -1, "start");
    if (edfclose_file(handle) != 0) {
        return 1;
    }
    /* The library it runs with is the one it was built against. */
    if (strcmp(recording_version(), RECORDING_VERSION_STRING) != 0) {
        return 1;
    }
    printf("recording %s (EDF_VERSION %d)\n", recording_version(), edf_version());
    return 0;
}
