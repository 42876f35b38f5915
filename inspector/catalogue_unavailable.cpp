// --index in a build without SQLite (the MinGW cross-build): refused with the reason, as a
// usage error, before any file is read or made.
#include "catalogue.h"

#include <cstdio>

int run_index(const inspector_options &, const input_files &) {
    std::fputs("edfinfo: this build keeps no catalogue (built without SQLite)\n", stderr);
    return 2;
}

const char *catalogue_schema() {
    return "";
}
