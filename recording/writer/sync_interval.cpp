// Opt-in durability against power loss: fsync after a number of completed records (and after
// annotations are placed), on top of the flush that every completed record gets.
#include "recording/core/recording.h"

extern "C" int edf_set_sync_interval(int handle, int records) {
    edf_writer_state *r = edf_writer_for(handle);
    if (r == nullptr || records < 0) {
        return -1;
    }
    r->sync_interval = records;
    return 0;
}
