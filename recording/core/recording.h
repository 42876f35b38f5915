// The per-file recording block, the per-signal record and the process-wide tables that
// both halves of the library share. Internal to the library (and its tests).
#pragma once

#include "recording/core/byte_source.h"
#include "recording/edf.h"

#include <cstdint>
#include <cstdio>

inline constexpr int EDF_MAX_ORDINARY_SIGNALS_WRITE = 4095;
inline constexpr int EDF_MAX_ANNOTATION_SIGNALS = 64;
inline constexpr int EDF_PATH_MAX = 1023;
inline constexpr int EDF_ANNOTATION_LIST_STEP = 1000;
// The most data records that the header's eight-character count can hold.
inline constexpr int64_t EDF_MAX_DATARECORDS = 99999999;
// A writer's stream buffer: large enough that the per-signal writes of a record reach the
// file in few system calls.
inline constexpr int EDF_WRITE_STREAM_BUFFER = 256 * 1024;
// A reader's buffer of large positioned reads: many records per system call, yet small
// enough to stay in the processor's cache while its samples are converted.
inline constexpr int EDF_READ_BUFFER = 256 * 1024;

struct edf_signal_param {
    char label[17];
    char transducer[81];
    char physical_dimension[9];
    double physical_min;
    double physical_max;
    // The physical limits as the header writes them (NUL-terminated): the reader's field text,
    // the writer's eight-character text.
    char physical_min_text[9];
    char physical_max_text[9];
    int digital_min;
    int digital_max;
    char prefilter[81];
    int samples_per_record;
    double offset;
    int buffer_offset;
    double bit_value;
    int is_annotation;
    int64_t sample_position;
    // A reader's read-ahead window of small reads: the bytes of read_ahead_count samples from
    // sample read_ahead_first on, packed without the other signals' bytes; allocated on the
    // first small read (read_ahead_capacity samples) and freed with the block.
    unsigned char *read_ahead;
    int64_t read_ahead_first;
    int read_ahead_count;
    int read_ahead_capacity;
};

// The type of a file: the public EDF_FILETYPE_* values.
enum class edf_file_type : int {
    edf = EDF_FILETYPE_EDF,
    edfplus = EDF_FILETYPE_EDFPLUS,
    bdf = EDF_FILETYPE_BDF,
    bdfplus = EDF_FILETYPE_BDFPLUS,
};

// EDF+ or BDF+: the files with annotation signals and the identification subfields.
constexpr bool edf_is_plus(edf_file_type type) {
    return type == edf_file_type::edfplus || type == edf_file_type::bdfplus;
}
// BDF or BDF+: 24-bit samples.
constexpr bool edf_is_bdf(edf_file_type type) {
    return type == edf_file_type::bdf || type == edf_file_type::bdfplus;
}
constexpr int edf_bytes_per_sample(edf_file_type type) {
    return edf_is_bdf(type) ? 3 : 2;
}

// What both sides keep of an open file: its stream and path, its type, its identification,
// its timing and its signals. Each side derives its own state from it (edf_reader_state,
// edf_writer_state); the handle table holds the shared part, and `write_mode` tells which
// side's state it is. Allocated zero-filled (value-initialized); the arrays are the block's
// own and are freed with it. Not copyable: the block owns what its pointers point to.
struct edf_recording {
    edf_recording() = default;
    edf_recording(const edf_recording &) = delete;
    edf_recording &operator=(const edf_recording &) = delete;
    ~edf_recording();

    FILE *file;
    char path[EDF_PATH_MAX + 1];
    // Set for a reader opened on memory or a caller's source: `path` holds the name it was
    // given, and the in-use test of paths passes the block by.
    int from_source;
    int write_mode;
    edf_file_type file_type;
    // The identification fields as the header holds them, and their subfields.
    char patient_field[81];
    char recording_field[81];
    char patient_code[81];
    char sex_text[16];
    char birthdate_text[16];
    int birth_day, birth_month, birth_year;
    char patient_name[81];
    char patient_additional[81];
    char admin_code[81];
    char technician[81];
    char equipment[81];
    char recording_additional[81];
    int start_day, start_month, start_year, start_second, start_minute, start_hour;
    int header_size;
    int signal_count;
    int64_t datarecord_count;
    int record_size;
    int annotation_signal_count;
    int is_discontinuous;
    int64_t subsecond_start_ticks;
    double datarecord_duration_s;
    int64_t datarecord_duration_ticks;
    // The record-duration field as the header writes it (NUL-terminated).
    char datarecord_duration_text[9];
    edf_signal_param *signals;
    // The full path when it is longer than EDF_PATH_MAX bytes (`path` then holds its first
    // EDF_PATH_MAX bytes); null otherwise.
    char *long_path;
    // The identity (device and inode) of the open file, for the in-use test; has_identity is
    // 0 when the system could not tell it.
    int has_identity;
    uint64_t file_device;
    uint64_t file_inode;
    // Breaks of a discontinuous recording (EDF+D/BDF+D): each entry is a record that does not
    // follow the one before it, with its start. The first segment (record 0 at time 0) is
    // implicit, so a continuous recording has none. `start` is in ticks from the start of the
    // recording; `record_count` is unused here (it follows from the next entry's first record).
    edf_segment *breaks;
    int64_t break_count;
    int64_t break_capacity;
    // The records of a discontinuous recording whose time is unknown (their time-keeping
    // annotation is unreadable; only a reader finds them), in increasing order, never record
    // 0. Such a record ends its segment and belongs to none; the record after it starts a
    // segment of its own (a break is kept for it even when it continues the record before
    // the unknown one).
    int64_t *unplaced_records;
    int64_t unplaced_count;
    int64_t unplaced_capacity;

    bool is_plus() const {
        return edf_is_plus(file_type);
    }
    bool is_bdf() const {
        return edf_is_bdf(file_type);
    }
    int bytes_per_sample() const {
        return edf_bytes_per_sample(file_type);
    }
};

// A writer's queued annotation: times in microseconds, text in UTF-8.
struct edf_queued_annotation {
    int64_t onset;
    int64_t duration; // negative: no duration
    char text[EDF_ANNOTATION_TEXT_MAX + 1];
};

// A reader's parsed annotation. Its texts lie in the recording's text arena
// (annotation_texts), each NUL-terminated, so that the list costs a few bytes per annotation
// beyond the text that the file actually holds; offset 0 is the empty text.
// The duration in ticks is not kept: it is the duration text's value, found again on access.
struct edf_parsed_annotation {
    int64_t onset;
    uint32_t text;          // offset of the annotation text (UTF-8, at most 512 bytes)
    uint32_t duration_text; // offset of the duration text (at most 15 bytes)
};

// A reader's state (write_mode 0): the shared part as the header states it, with every signal
// of the file in `signals` (annotation signals included), and what the reader found beside it.
struct edf_reader_state : edf_recording {
    edf_reader_state() = default;
    ~edf_reader_state();

    int annotation_signal_indexes[EDF_MAX_SIGNALS];
    int ordinary_signal_indexes[EDF_MAX_SIGNALS];
    // Tolerant open: how identification fields outside printable ASCII were read (0:
    // printable; else an edf_text_encoding, UTF-8 or Latin-1), and EDF+ identification fields
    // outside the subfield grammar (kept whole).
    int patient_encoding;
    int recording_encoding;
    int patient_whole;
    int recording_whole;
    // The problems that the tolerant open repaired (null and 0 for a strict open).
    edf_problem *problems;
    int problem_count;
    // The parsed annotations (annotation_count of annotation_capacity entries, grown
    // EDF_ANNOTATION_LIST_STEP at a time); null until the first.
    edf_parsed_annotation *annotations;
    int annotation_count;
    int annotation_capacity;
    // The annotation texts, see edf_parsed_annotation; null until the first text.
    char *annotation_texts;
    int64_t annotation_text_size;
    int64_t annotation_text_capacity;
    // The buffer of large reads (EDF_READ_BUFFER bytes), allocated on the first one; null
    // until then, or when the allocation failed.
    unsigned char *read_buffer;
    // Where every read of the reader goes: the stream's file for a path (the stream, in
    // `file`, is closed with the block), memory or a caller's callbacks (released with it).
    edf_byte_source source;
    // The open's policy (1: tolerant) and the number of its problems that come before those
    // of the annotation signals, for edf_read_annotations.
    int tolerant;
    int annotation_problem_start;
};

// A writer's state (write_mode 1): the shared part as the setters describe the file, with
// only the ordinary signals in `signals`, and the assembly of records.
struct edf_writer_state : edf_recording {
    edf_writer_state() = default;
    ~edf_writer_state();

    int next_write_signal;
    int annotation_block_size;
    unsigned char *write_buffer;
    int write_buffer_size;
    int annotation_position;
    // The output stream's buffer, freed after the stream is closed; null when the stream runs
    // with the C library's default buffer.
    char *stream_buffer;
    // Set when a sample write failed part-way; the stream's position is then unknown, and the
    // next write first seeks to where its bytes belong.
    int reposition_needed;
    // The queued annotations (annotation_count of annotation_capacity entries, grown
    // EDF_ANNOTATION_LIST_STEP at a time); null until the first.
    edf_queued_annotation *annotations;
    int annotation_count;
    int annotation_capacity;
    // Queue entries 0 to annotations_placed - 1 have been written to their places (all
    // entries up to there, in the record being assembled at most).
    int annotations_placed;
    // fsync after every sync_interval completed records and after placing annotations; 0:
    // never.
    int sync_interval;
};

enum class edf_side { writer, reader, either };

// The checks that every handle-taking operation makes first: the handle taken as unsigned is
// at most 63, its slot is occupied, and its mode fits the side. Returns the block or null.
edf_recording *edf_recording_for(int handle, edf_side side);

// The same checks for one side, giving that side's state.
inline edf_reader_state *edf_reader_for(int handle) {
    return static_cast<edf_reader_state *>(edf_recording_for(handle, edf_side::reader));
}
inline edf_writer_state *edf_writer_for(int handle) {
    return static_cast<edf_writer_state *>(edf_recording_for(handle, edf_side::writer));
}

// The in-use test of the opening operations: an occupied slot holds this path (the full path,
// byte for byte), or an existing file at this path is one that a slot has open (the same
// device and inode, however it is reached: another spelling of the path, a symbolic or a hard
// link).
bool edf_path_in_use(const char *path); // blocks opened on a source are passed by

// Stores the full path in the block (`path`, and `long_path` when it is longer than
// EDF_PATH_MAX bytes). Returns false when that allocation fails. Only before the block takes
// its slot: the in-use test of other threads reads the path.
bool edf_store_path(edf_recording *recording, const char *path);

// Records the identity of the block's open stream for the in-use test (safe while other
// threads run that test).
void edf_store_identity(edf_recording *recording);

// Stores the block (with its path stored) in the lowest free slot, counts the file as open
// and returns the slot's index. The in-use test of the block's path and the taking are one
// step for all threads: of two opens of the same file, one gets the slot and the other
// EDF_ERR_ALREADY_OPEN. EDF_ERR_TOO_MANY_FILES when no slot is free.
int edf_take_slot(edf_recording *recording);

// Empties a slot that edf_take_slot gave and uncounts the file, without freeing the block:
// for an open that fails after taking its slot.
void edf_give_back_slot(int handle);

// Frees the state of either side (its stream must be closed or null): what the block owns
// goes with it.
void edf_delete_recording(edf_recording *recording);

// Empties the slot and lowers the open-file count, then closes the handle's stream and frees
// everything its state holds (annotation list, signals, buffers, block). Returns the result
// of fclose.
int edf_release_slot(int handle);

// Copies at most `width` bytes of `text` into `field` (which has room for width + 1), then
// removes leading and trailing spaces.
void edf_copy_stripped(char *field, const char *text, int width);
void edf_strip_spaces(char *text);
