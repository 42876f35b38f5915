/*
 * Recording library: writes continuous EDF+ and BDF+ files and reads EDF, EDF+, BDF and BDF+
 * files (16-bit and 24-bit samples, with their time-stamped annotation lists).
 *
 * Every operation is a plain function that returns an int (or a 64-bit sample position):
 * 0 or a handle means success, a negative value failure. Up to EDF_MAX_FILES files may be
 * open at once, each behind a small integer handle. The library keeps no pointer to caller
 * memory after a call returns, prints nothing and uses no locks: use it from one thread at a
 * time.
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef RECORDING_EDF_H
#define RECORDING_EDF_H

#include <stdint.h>

/* EDF_API marks the library's public functions. The shared library is built with hidden
 * visibility and exports exactly the functions declared with it. */
#ifndef EDF_API
#if defined(RECORDING_BUILDING_LIBRARY) && defined(__GNUC__)
#define EDF_API __attribute__((visibility("default")))
#else
#define EDF_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Constants ------------------------------------------------------------------------- */

#define EDF_MAX_FILES 64
/* Ticks per second: one tick is 100 ns. Record durations, the sub-second start and the
 * reader's annotation times are counted in ticks. */
#define EDF_TIME_DIMENSION 10000000LL
#define EDF_VERSION 127
#define EDF_MAX_SIGNALS 4096
#define EDF_ANNOTATION_TEXT_MAX 40

/* File types. The writer creates EDF+ and BDF+ only; the reader reports all four. */
#define EDF_FILETYPE_EDF 0
#define EDF_FILETYPE_EDFPLUS 1
#define EDF_FILETYPE_BDF 2
#define EDF_FILETYPE_BDFPLUS 3

/* Error codes of the opening operations. -1 is also the plain failure result of every
 * setter, sample writer, reader and close for a bad handle, argument or state. */
#define EDF_ERR_NO_MEMORY (-1)
#define EDF_ERR_CANNOT_OPEN (-2)
#define EDF_ERR_FORMAT (-3)
#define EDF_ERR_TOO_MANY_FILES (-4)
#define EDF_ERR_READ (-5)
#define EDF_ERR_ALREADY_OPEN (-6)
#define EDF_ERR_FILETYPE (-7)
#define EDF_ERR_SIGNAL_COUNT (-9)
#define EDF_ERR_DISCONTINUOUS (-10)
#define EDF_ERR_ANNOTATION_MODE (-11)

/* Codes of the header writer, returned by the first sample write of a file and by close
 * when the signal descriptions cannot make a valid header. */
#define EDF_ERR_NEGATIVE_SIGNAL_COUNT (-20)
#define EDF_ERR_TOO_MANY_SIGNALS (-21)
#define EDF_ERR_SAMPLES_PER_RECORD (-22)
#define EDF_ERR_DIGMIN_IS_DIGMAX (-23)
#define EDF_ERR_DIGMAX_BELOW_DIGMIN (-24)
#define EDF_ERR_PHYSMIN_IS_PHYSMAX (-25)
#define EDF_ERR_RECORD_TOO_LARGE (-26)
/* A physical minimum or maximum that the eight-character header field cannot hold: not a
 * finite number, an integer part that needs more than eight characters, or two limits whose
 * written texts read back as the same value. */
#define EDF_ERR_PHYSICAL_VALUE_TEXT (-27)

/* Where the writer puts its annotation signals among the ordinary signals. */
#define EDF_ANNOTATIONS_AT_END 0
#define EDF_ANNOTATIONS_IN_MIDDLE 1
#define EDF_ANNOTATIONS_AT_START 2

/* Values for edf_set_sex. */
#define EDF_FEMALE 0
#define EDF_MALE 1

/* Annotation-read modes of edfopen_file_readonly. */
#define EDF_READ_NO_ANNOTATIONS 0
#define EDF_READ_ANNOTATIONS 1
#define EDF_READ_ALL_ANNOTATIONS 2

/* Origins for edfseek, with the values of the standard stream-positioning calls. */
#define EDFSEEK_SET 0
#define EDFSEEK_CUR 1
#define EDFSEEK_END 2

/* ---- Public records ------------------------------------------------------------------- */

/* One ordinary signal of a file opened for reading. Texts are as stored in the header,
 * trailing spaces included. */
struct edf_signal_info {
    char label[17];
    int64_t samples_in_file;
    double physical_max;
    double physical_min;
    int32_t digital_max;
    int32_t digital_min;
    int32_t samples_per_record;
    char physical_dimension[9];
    char prefilter[81];
    char transducer[81];
};

/* Filled by edfopen_file_readonly. The record is large (about 1 MB, because of the 4096
 * signal entries): allocate it statically or on the heap rather than on a small stack. */
struct edf_header_info {
    int32_t handle;   /* 0 to 63, or -1 when the open failed */
    int32_t filetype; /* EDF_FILETYPE_*, or the negative error code when the open failed */
    int32_t ordinary_signal_count;
    int64_t file_duration; /* in ticks */
    int32_t start_day;
    int32_t start_month;
    int32_t start_year;
    int64_t start_subsecond; /* in ticks, 0 to 9999999 */
    int32_t start_second;
    int32_t start_minute;
    int32_t start_hour;
    char patient[81];   /* plain EDF/BDF only */
    char recording[81]; /* plain EDF/BDF only */
    char patient_code[81];
    char sex[16];
    char gender[16];
    char birthdate[16];
    int32_t birth_day;
    int32_t birth_month;
    int32_t birth_year;
    char patient_name[81];
    char patient_additional[81];
    char admin_code[81];
    char technician[81];
    char equipment[81];
    char recording_additional[81];
    int64_t datarecord_duration; /* in ticks */
    int64_t datarecord_count;
    int64_t annotation_count;
    struct edf_signal_info signals[EDF_MAX_SIGNALS];
};

/* One annotation of a file opened for reading, as handed out by edf_get_annotation. */
struct edf_annotation {
    int64_t onset;    /* ticks from the start of the recording */
    int64_t duration; /* ticks; -EDF_TIME_DIMENSION when the annotation has no duration */
    char duration_text[20];
    char annotation[513]; /* UTF-8 */
};

/* ---- Handle table --------------------------------------------------------------------- */

EDF_API int edf_is_file_used(const char *path);
EDF_API int edf_get_number_of_open_files(void);
EDF_API int edf_get_handle(int n);
EDF_API int edf_version(void);

/* ---- Writing -------------------------------------------------------------------------- */

EDF_API int edfopen_file_writeonly(const char *path, int filetype, int number_of_signals);
EDF_API int edfopen_file_writeonly_with_params(const char *path, int filetype,
                                               int number_of_signals, int samplefrequency,
                                               double physical_maximum,
                                               const char *physical_dimension);

EDF_API int edf_set_samplefrequency(int handle, int edfsignal, int samples_per_record);
EDF_API int edf_set_physical_maximum(int handle, int edfsignal, double phys_max);
EDF_API int edf_set_physical_minimum(int handle, int edfsignal, double phys_min);
EDF_API int edf_set_digital_maximum(int handle, int edfsignal, int dig_max);
EDF_API int edf_set_digital_minimum(int handle, int edfsignal, int dig_min);
EDF_API int edf_set_label(int handle, int edfsignal, const char *label);
EDF_API int edf_set_transducer(int handle, int edfsignal, const char *transducer);
EDF_API int edf_set_physical_dimension(int handle, int edfsignal, const char *phys_dim);
EDF_API int edf_set_prefilter(int handle, int edfsignal, const char *prefilter);
EDF_API int edf_set_patientname(int handle, const char *patientname);
EDF_API int edf_set_patientcode(int handle, const char *patientcode);
EDF_API int edf_set_sex(int handle, int sex);
EDF_API int edf_set_gender(int handle, int gender);
/* Both date setters refuse dates that do not exist (31 April, 29 February of a common year). */
EDF_API int edf_set_birthdate(int handle, int birthdate_year, int birthdate_month,
                              int birthdate_day);
EDF_API int edf_set_patient_additional(int handle, const char *patient_additional);
EDF_API int edf_set_admincode(int handle, const char *admincode);
EDF_API int edf_set_technician(int handle, const char *technician);
EDF_API int edf_set_equipment(int handle, const char *equipment);
EDF_API int edf_set_recording_additional(int handle, const char *recording_additional);
EDF_API int edf_set_startdatetime(int handle, int startdate_year, int startdate_month,
                                  int startdate_day, int starttime_hour, int starttime_minute,
                                  int starttime_second);
EDF_API int edf_set_subsecond_starttime(int handle, int subsecond_ticks);
EDF_API int edf_set_datarecord_duration(int handle, int duration_10us);
EDF_API int edf_set_datarecord_duration_us(int handle, int duration_us);
EDF_API int edf_set_number_of_annotation_signals(int handle, int annot_signals);
EDF_API int edf_set_annotation_signal_position(int handle, int position);

EDF_API int edfwrite_physical_samples(int handle, const double *buf);
EDF_API int edfwrite_digital_samples(int handle, const int *buf);
/* The 16-bit writers never change the caller's array (values outside the signal's digital
 * range are clipped in the writer's own buffer); the parameter stays non-const for
 * compatibility. */
EDF_API int edfwrite_digital_short_samples(int handle, short *buf);
EDF_API int edf_blockwrite_physical_samples(int handle, const double *buf);
EDF_API int edf_blockwrite_digital_samples(int handle, const int *buf);
EDF_API int edf_blockwrite_digital_short_samples(int handle, short *buf);
EDF_API int edf_blockwrite_digital_24bit_samples(int handle, const void *buf);

/* Annotations are queued and stored in the file as soon as their place in it exists (see
 * "Crash-safe writing" below); close stores the rest. The _us operations take microseconds,
 * the others units of 100 microseconds; a negative duration means "none". The onset counts
 * from the start of the recording, sub-second start included, and reads back exactly.
 * Texts are stored as UTF-8 of at most EDF_ANNOTATION_TEXT_MAX (40) bytes: whole when their
 * UTF-8 form fits, otherwise cut before the first character that does not fit. The UTF-8
 * operations repair invalid UTF-8 instead of refusing it: each byte that is not part of a
 * well-formed sequence is taken as a Latin-1 character (0x80-0x9F as '.'). Control bytes and
 * DEL are stored as '.'. */
EDF_API int edfwrite_annotation_utf8_us(int handle, int64_t onset, int64_t duration,
                                        const char *description);
EDF_API int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration,
                                     const char *description);
EDF_API int edfwrite_annotation_latin1_us(int handle, int64_t onset, int64_t duration,
                                          const char *description);
EDF_API int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration,
                                       const char *description);

/* ---- Reading -------------------------------------------------------------------------- */

EDF_API int edfopen_file_readonly(const char *path, struct edf_header_info *hdr,
                                  int read_annotations);
EDF_API int64_t edfseek(int handle, int edfsignal, int64_t offset, int whence);
EDF_API int64_t edftell(int handle, int edfsignal);
EDF_API int edfrewind(int handle, int edfsignal);
EDF_API int edfread_digital_samples(int handle, int edfsignal, int n, int *buf);
EDF_API int edfread_physical_samples(int handle, int edfsignal, int n, double *buf);
EDF_API int edf_get_annotation(int handle, int n, struct edf_annotation *annot);

/* ---- Discontinuous recordings (EDF+D and BDF+D) ----------------------------------------
 *
 * In an EDF+D or BDF+D file each data record carries its own start time in its time-keeping
 * annotation, and the records need not follow each other: the pauses between them (gaps) are
 * not stored. Records that follow each other without a gap form a segment. Sample positions,
 * seeks and reads count stored samples only: a gap holds none. */

/* A run of records that follow each other without a gap. */
struct edf_segment {
    int64_t start; /* ticks from the start of the recording */
    int64_t first_record;
    int64_t record_count; /* records that follow each other without a gap */
};

/* Makes the file being written an EDF+D or BDF+D file. Call it before the first sample write.
 * Returns 0, or -1 for a bad or reading handle or when a sample has already been written.
 * Without this call the writer makes EDF+C/BDF+C files, byte for byte as before. Never touches
 * the file: the header written at the first sample write says "EDF+D" or "BDF+D". */
EDF_API int edf_set_discontinuous(int handle);

/* Sets the start of the data record about to be written, in microseconds from the start of the
 * recording (start_us 0 to 2^62 / 10). Call it before the first sample of that record; calling
 * it again for the same record replaces the value. A record without the call follows the
 * previous one. The start must be at least the end of the previous record (start plus record
 * duration), and 0 for the first record. Returns 0, or -1 for a bad handle, a file not made
 * discontinuous by edf_set_discontinuous, a record already partly written, a start out of
 * range, or no memory. Queued annotations keep their own onsets. Never touches the file: the
 * start goes into the record's time-keeping annotation when the record is written. */
EDF_API int edf_set_record_start(int handle, int64_t start_us);

/* Segments of the file: 1 for a continuous file (also for one without records). Answered by
 * reading and writing handles (a writer counts the records completed so far). Returns the
 * count, or -1 for a bad handle. This call and the two below never read the file nor move a
 * read position: the map is built when the file is opened. */
EDF_API int edf_get_segment_count(int handle);

/* Copies segment n (0 to count - 1) into *segment. Returns 0, or -1 for a bad handle, an n out
 * of range or a null segment (which is never written). */
EDF_API int edf_get_segment(int handle, int n, struct edf_segment *segment);

/* The start of data record `record` (0 to datarecord_count - 1) in ticks from the start of the
 * recording, or -1 for a bad handle or a record out of range. */
EDF_API int64_t edf_get_record_start(int handle, int64_t record);

/* Opens a file for reading like edfopen_file_readonly, but also accepts EDF+D and BDF+D files,
 * whose record starts come from their time-keeping annotations. A file whose record starts
 * before the previous one ends is refused with EDF_ERR_FORMAT. For EDF+D/BDF+D files the
 * time-keeping annotations of all records are read even for EDF_READ_NO_ANNOTATIONS, and
 * file_duration is the end of the last record minus the start. Returns 0 or -1 as
 * edfopen_file_readonly. */
EDF_API int edfopen_file_readonly_tolerant(const char *path, struct edf_header_info *hdr,
                                           int read_annotations);
/* ---- De-identification ---------------------------------------------------------------- */

/* Flags of edf_anonymize_file, to be combined with '|'. 0 replaces everything. */
#define EDF_ANON_KEEP_SEX 1              /* keep the sex subfield (EDF+/BDF+) */
#define EDF_ANON_KEEP_AGE 2              /* keep the age at recording, exact to the day */
#define EDF_ANON_KEEP_START_TIME 4       /* keep the time of day (the date is still shifted) */
#define EDF_ANON_DROP_ANNOTATION_TEXTS 8 /* replace every annotation text by "X" */

/* Codes of edf_anonymize_file beyond those of the opening operations. */
/* In place only the header can change, but this de-identification must rewrite data records
 * (a sub-second start to clear, or annotation texts to drop): write a copy instead. */
#define EDF_ERR_NEEDS_COPY (-30)
/* A de-identified value does not fit the file: the birth date shifted with the start date
 * falls outside the years 0001 to 9999, or a rewritten annotation list no longer fits its
 * annotation signal. */
#define EDF_ERR_ANONYMIZED_VALUE (-31)

/* De-identifies an EDF, EDF+, BDF or BDF+ file that edfopen_file_readonly accepts.
 *
 * What is replaced, by default (flags 0):
 * - local patient identification: "X X X X" in EDF+/BDF+ (code, sex, birth date and name
 *   unknown, no additional text), "X" in plain EDF/BDF;
 * - local recording identification: "Startdate X X X X" in EDF+/BDF+ (no start date,
 *   administration code, technician, equipment or additional text), "X" in plain EDF/BDF;
 * - start date and time: 01.01.85 00.00.00. All dates move by the same number of days, the
 *   shift that takes the original start date to 1985-01-01;
 * - the sub-second start (the time-keeping annotation of the first data record) becomes 0:
 *   every record time and annotation onset of the annotation signals moves back by it, so
 *   that times relative to the recording's start stay as they were (to the 100 ns tick).
 * Flags: EDF_ANON_KEEP_SEX keeps 'M' or 'F'; EDF_ANON_KEEP_AGE writes the birth date moved by
 * the date shift, so that the age at recording stays exact to the day (nothing is kept when
 * the birth date is unknown, or in plain EDF/BDF, which have no birth date field);
 * EDF_ANON_KEEP_START_TIME keeps the time of day and the sub-second start (the date still
 * becomes 1985-01-01); EDF_ANON_DROP_ANNOTATION_TEXTS replaces the text of every annotation
 * by "X" (and empties the text that EDF+ reserves in a record's time-keeping annotation),
 * keeping every onset and duration. Nothing else changes: signal headers, samples and, unless
 * dropped, annotation texts stay byte for byte as they were.
 *
 * path: the file to de-identify. out_path: NULL to rewrite `path` in place, else the copy to
 * create or replace (never `path` itself nor a file open in this process).
 * - In place, only the 256 bytes of the header's fixed part are written, in one positioned
 *   write followed by fsync, after the header has been checked (by the strict open, reading
 *   the first data record only unless texts are to be dropped) and the file found not open in
 *   this process. A run that is interrupted at any moment leaves either the old or the new
 *   header. The data records are never written, nor read beyond that check: their annotation
 *   lists are as valid after the call as before. When the de-identification would have to
 *   change them (a sub-second start to clear without EDF_ANON_KEEP_START_TIME, or annotation
 *   texts other than "X" to drop), nothing is written and the result is EDF_ERR_NEEDS_COPY.
 * - Into a copy, the whole file is checked by the strict open first and the copy is written
 *   from the start; `path` is never written. The copy is not fsync'ed. On failure the copy is
 *   removed.
 *
 * Result: 0 on success; then the copy, or the file rewritten in place, is accepted by
 * edfopen_file_readonly as the source was.
 * On failure: -1 for a NULL path, unknown flags, or a copy that would name the source file;
 * the codes of edfopen_file_readonly for a file that it refuses (EDF_ERR_ALREADY_OPEN also
 * when `path` or `out_path` is open in this process); EDF_ERR_CANNOT_OPEN when the file or
 * the copy cannot be opened, created or written in full (or fsync fails); EDF_ERR_READ when
 * the source cannot be read in full; EDF_ERR_FORMAT when the file changed after the check (in
 * place: its fixed header part; into a copy: annotation signals that no longer parse);
 * EDF_ERR_NEEDS_COPY and EDF_ERR_ANONYMIZED_VALUE as above.
 * A failure in place leaves the file as it was. The call keeps no handle open. */
EDF_API int edf_anonymize_file(const char *path, const char *out_path, int flags);
/* ---- Crash-safe writing and recovery ------------------------------------------------- */

/* What survives a crash of the writing process (a kill, a crash, a pulled cable that stops
 * the program, not the machine): every data record completed before it (each is flushed as it
 * completes) and every queued annotation whose place lies in such a record. Annotation i (in
 * queue order, from 0) has its place in record i / A, annotation signal i % A, A being the
 * number of annotation signals; it is written there as soon as that record exists (at once
 * when the record is already complete, else with the record). Such a file has "-1" as its
 * record count and perhaps a partial record at its end: edf_recover_file (or
 * `edfinfo --recover`) makes it a file that the strict open accepts.
 *
 * Room for annotations: each annotation signal of each record holds 120 bytes. Annotations
 * beyond one per annotation signal per record are packed at close after the TALs already
 * there, in queue order, each into the earliest annotation signal with room; those that still
 * find none make close return EDF_ERR_ANNOTATIONS_LOST. A recording that expects many
 * annotations (more than one per record) declares more annotation signals with
 * edf_set_number_of_annotation_signals (up to 64): each adds 120 bytes to every record and one
 * more annotation that survives a crash per record. Packed annotations are written only at
 * close, so they do not survive a crash. */

/* Returned by edfclose_file when the file is complete but a queued annotation is not in it:
 * no room was left, or writing it failed. Everything else was written and the handle is
 * released. */
#define EDF_ERR_ANNOTATIONS_LOST (-28)

/* Opt-in durability against power loss: after this call the writer calls fsync after every
 * `records` completed data records (records >= 1) and after it writes annotations into
 * records already complete; 0, the default, never calls fsync (each completed record is still
 * flushed to the operating system, which is enough to survive a crash of the program). May be
 * called at any time on a writer handle. Returns 0, or -1 for a bad handle or a negative
 * count. A failed fsync makes the sample write that completed the record return -1; the
 * record is written and counted all the same. */
EDF_API int edf_set_sync_interval(int handle, int records);

/* What edf_recover_file would do to a file. Sizes in bytes. */
struct edf_recovery_plan {
    int64_t file_size;        /* the file's size now */
    int64_t header_size;      /* 256 x (1 + number of signals) */
    int64_t record_size;      /* bytes of one data record */
    int64_t stored_count;     /* the record count that the header holds now; -1: never set */
    int64_t complete_records; /* the count that recovery writes */
    int64_t partial_bytes;    /* bytes of a partial record at the end, which recovery cuts */
};

/* Recovers a file whose writer died before close, in place: sets the header's record count
 * from the number of complete data records and cuts a trailing partial record off. It
 * rewrites only the 8-byte record-count field and truncates the file; it never moves or copies
 * data, and leaves a file that needs neither untouched. The file must be an EDF, EDF+, BDF or
 * BDF+ file that is not open in this process. Returns the number of complete records (0 or
 * more) on success; EDF_ERR_CANNOT_OPEN when the file cannot be opened for reading and
 * writing; EDF_ERR_ALREADY_OPEN when this process has it open; EDF_ERR_READ when its header
 * cannot be read in full; EDF_ERR_FORMAT, changing nothing, when any header field other than
 * the record count is broken (recovery does not guess at a broken header), or when the file
 * holds more records than the count field can hold; EDF_ERR_NO_MEMORY; -1 when the path is
 * null or writing the count or truncating fails. Annotations are not checked: open the
 * recovered file to see them. A recovered file with no complete record has the count 0, which
 * the reader refuses. */
EDF_API int edf_recover_file(const char *path);

/* The same checks as edf_recover_file, reading only: fills *plan with what recovery would do
 * and returns 0, or returns the same negative codes (-1 also for a null plan). */
EDF_API int edf_plan_recovery(const char *path, struct edf_recovery_plan *plan);

/* ---- Both modes ----------------------------------------------------------------------- */

/* Returns 0, -1 for a bad handle, a header writer code, or -1 after releasing the handle when
 * the file could not be finished: a failed write, or a first record begun but never completed
 * with no annotation queued, which leaves a file without any record. EDF_ERR_ANNOTATIONS_LOST
 * (-28), after writing everything else and releasing the handle, when a queued annotation is
 * not in the file (no room left, or its write failed). */
EDF_API int edfclose_file(int handle);

/* ---- Error texts ---------------------------------------------------------------------- */

/* A fixed English description of an error code that the library returns: the codes of the
 * opening operations (-1 to -11, also delivered in edf_header_info.filetype), those of the
 * header writer (-20 to -27), EDF_ERR_ANNOTATIONS_LOST (-28) of close and those of
 * edf_anonymize_file (-30, -31). Any other value gives "unknown error". The text is static:
 * never free or change it. */
EDF_API const char *edf_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif /* RECORDING_EDF_H */
