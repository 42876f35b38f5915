/* A C program that writes a small EDF+ file through the installed library. */
#include <recording/edf.h>
#include <stdio.h>

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
    printf("version %d\n", edf_version());
    return 0;
}
