// Creating a file for writing: a handle, a zero-filled block with the writer's defaults, and
// an empty annotation queue. Nothing reaches the file until the first sample write or close.
#include "recording/core/in_use_mark.h"
#include "recording/core/platform_file.h"
#include "recording/core/recording.h"

#include <cstdlib>
#include <cstring>
#include <new>

using namespace edf;

extern "C" int edfopen_file_writeonly(const char *path, int filetype, int number_of_signals) {
    if (filetype != EDF_FILETYPE_EDFPLUS && filetype != EDF_FILETYPE_BDFPLUS) {
        return EDF_ERR_FILETYPE;
    }
    if (edf_get_number_of_open_files() >= EDF_MAX_FILES) {
        return EDF_ERR_TOO_MANY_FILES;
    }
    if (path == nullptr) {
        return EDF_ERR_CANNOT_OPEN;
    }
    if (edf_path_in_use(path)) {
        return EDF_ERR_ALREADY_OPEN;
    }
    if (static_cast<unsigned>(number_of_signals) > EDF_MAX_ORDINARY_SIGNALS_WRITE) {
        return EDF_ERR_SIGNAL_COUNT;
    }

    auto *recording = new (std::nothrow) edf_writer_state();
    if (recording == nullptr) {
        return EDF_ERR_NO_MEMORY;
    }
    recording->write_mode = 1;
    // calloc(0, ...) may return null; ask for at least one record so that null always means
    // an allocation failure.
    const size_t signal_records =
        number_of_signals > 0 ? static_cast<size_t>(number_of_signals) : 1;
    recording->signals =
        static_cast<edf_signal_param *>(std::calloc(signal_records, sizeof(edf_signal_param)));
    if (recording->signals == nullptr || !edf_store_path(recording, path)) {
        delete recording;
        return EDF_ERR_NO_MEMORY;
    }
    recording->signal_count = number_of_signals;

    // The slot is taken before the file is created: of two opens of one path, the one that
    // loses finds it in use and leaves the file alone.
    const int handle = edf_take_slot(recording);
    if (handle < 0) {
        delete recording;
        return handle;
    }

    // The file is marked as being written for the handle's whole life, and an existing file is
    // emptied only once the mark is taken: a file that another program is writing stays as it
    // is. The mark lives with the stream's descriptor and goes when the stream is closed.
    const int fd = edf_open_marked_output(path);
    if (fd >= 0) {
        recording->file = edf_stream_of(fd, "wb");
        if (recording->file == nullptr) {
            edf_close_file(fd);
        } else if (!edf_empty_output(fd)) {
            std::fclose(recording->file);
            recording->file = nullptr;
        }
    }
    if (recording->file == nullptr) {
        edf_give_back_slot(handle);
        delete recording;
        return fd == EDF_ERR_BEING_WRITTEN ? EDF_ERR_BEING_WRITTEN : EDF_ERR_CANNOT_OPEN;
    }
    // The default stdio buffer (a few KiB) would cost one system call per few signals of a
    // record; without the larger buffer the stream simply keeps the default.
    recording->stream_buffer = static_cast<char *>(std::malloc(EDF_WRITE_STREAM_BUFFER));
    if (recording->stream_buffer != nullptr &&
        std::setvbuf(recording->file, recording->stream_buffer, _IOFBF, EDF_WRITE_STREAM_BUFFER) !=
            0) {
        std::free(recording->stream_buffer);
        recording->stream_buffer = nullptr;
    }
    edf_store_identity(recording);

    recording->file_type = static_cast<edf_file_type>(filetype);
    recording->datarecord_duration_ticks = EDF_TIME_DIMENSION;
    recording->datarecord_duration_s = 1.0;
    recording->annotation_signal_count = 1;
    return handle;
}
