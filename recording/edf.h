/*
 * Recording library: writes continuous EDF+ and BDF+ files and reads EDF, EDF+, BDF and BDF+
 * files (16-bit and 24-bit samples, with their time-stamped annotation lists).
 *
 * Every operation is a plain function that returns an int (or a 64-bit sample position):
 * 0 or a handle means success, a negative value failure. Up to EDF_MAX_FILES files may be
 * open at once, each behind a small integer handle. The library keeps no pointer to caller
 * memory after a call returns and prints nothing. (A writer holds an advisory lock on its own
 * file while it writes it: see edfopen_file_writeonly.)
 *
 * Threads: any number of threads may open files, close them and query the handle table
 * (edf_is_file_used, edf_get_number_of_open_files, edf_get_handle) at the same time, and
 * calls on different handles run in parallel without waiting for each other: the table's one
 * lock is held only while a handle is taken, looked up or given back, never during I/O. Of
 * two opens of the same file at the same time, one gets the handle and the other
 * EDF_ERR_ALREADY_OPEN. One handle is used by one thread at a time: calls on the same handle,
 * edfclose_file included, must not overlap (a handle may pass from thread to thread, with the
 * synchronisation that hands it over). The calls on paths that take no handle
 * (edf_check_file, edf_repair_file, edf_recover_file, edf_anonymize_file and the like) may
 * run at the same time on different files.
 *
 * Writing a file: edfopen_file_writeonly, then the setters (each ordinary signal needs at
 * least its samples per record and its digital and physical limits), then the samples record
 * by record with the sample writers, annotations queued at any time, and edfclose_file, which
 * completes the file. Reading a file: edfopen_file_readonly, which checks the whole file and
 * describes it in an edf_header_info; then samples per signal from a read position of its own
 * (edfread_physical_samples, edfseek), or of many signals at once by whole data records
 * (edfread_physical_records); annotations by number (edf_get_annotation); edfclose_file.
 *
 * Beyond the strict format: edf_check_file names every way in which a file breaks the format,
 * edfopen_file_readonly_tolerant reads what can be read without guessing (and EDF+D/BDF+D
 * files with their true time axis, see edf_get_segment) and lists what it repaired,
 * edf_repair_file writes a conforming copy, edf_recover_file mends in place a recording whose
 * writer died, edf_set_discontinuous writes EDF+D/BDF+D, edf_continuous_copy writes a
 * continuous copy of an EDF+D/BDF+D file with its gaps filled and marked, and
 * edf_anonymize_file de-identifies a file. The strict operations keep their behaviour: the new
 * behaviour comes only through these calls.
 *
 * Three ways to open a recording for reading: a path (edfopen_file_readonly), bytes in memory
 * (edfopen_memory_readonly) and a caller's callbacks (edfopen_source_readonly, struct
 * edf_source), the last two strict or tolerant by a flag; edf_check_source checks a source.
 * Opened in EDF_READ_NO_ANNOTATIONS a recording is read lazily: the open reads the header and
 * the first data record, sample reads read the records they need, and edf_read_annotations
 * collects the annotations when they are wanted.
 *
 * Units: times in ticks of 100 ns (EDF_TIME_DIMENSION per second), except where a call says
 * microseconds. Signal numbers count the ordinary signals only, from 0, in file order; the
 * annotation signals are handled by the library. A digital value d stands for the physical
 * value (d + offset) x bit_value, with bit_value = (physical max - physical min) /
 * (digital max - digital min) and offset = physical max / bit_value - digital max.
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef RECORDING_EDF_H
#define RECORDING_EDF_H

#include <stdint.h>

/* EDF_API marks the library's public functions. The shared library is built with hidden
 * visibility and exports exactly the functions declared with it. On Windows, recording.dll
 * exports them and a program that uses the DLL imports them; a program that links the static
 * library defines RECORDING_STATIC (the CMake package's static target does that for it). */
#ifndef EDF_API
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(RECORDING_STATIC)
#define EDF_API
#elif defined(RECORDING_BUILDING_LIBRARY)
#define EDF_API __declspec(dllexport)
#else
#define EDF_API __declspec(dllimport)
#endif
#elif defined(RECORDING_BUILDING_LIBRARY) && defined(__GNUC__)
#define EDF_API __attribute__((visibility("default")))
#else
#define EDF_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Constants ------------------------------------------------------------------------- */

/* Files open at once, in both modes together; handles are 0 to EDF_MAX_FILES - 1. */
#define EDF_MAX_FILES 64
/* Ticks per second: one tick is 100 ns. Record durations, the sub-second start and the
 * reader's annotation times are counted in ticks. */
#define EDF_TIME_DIMENSION 10000000LL
/* The value of edf_version(); fixed. The library's release is RECORDING_VERSION_*. */
#define EDF_VERSION 127
/* Signals of a file, ordinary and annotation signals together, that the reader accepts and
 * the writer may create. */
#define EDF_MAX_SIGNALS 4096
/* Bytes of UTF-8 text that the writer keeps of one annotation. */
#define EDF_ANNOTATION_TEXT_MAX 40

/* File types. The writer creates EDF+ and BDF+ only; the reader reports all four. */
#define EDF_FILETYPE_EDF 0
#define EDF_FILETYPE_EDFPLUS 1
#define EDF_FILETYPE_BDF 2
#define EDF_FILETYPE_BDFPLUS 3

/* Error codes of the opening operations (edfopen_file_writeonly returns them,
 * edfopen_file_readonly delivers them in edf_header_info.filetype). -1 is also the plain
 * failure result of every setter, sample writer, reader and close for a bad handle, argument
 * or state. */
#define EDF_ERR_NO_MEMORY (-1)        /* an allocation failed */
#define EDF_ERR_CANNOT_OPEN (-2)      /* the file cannot be created or opened (or path is null) */
#define EDF_ERR_FORMAT (-3)           /* the header or an annotation signal breaks the format */
#define EDF_ERR_TOO_MANY_FILES (-4)   /* EDF_MAX_FILES files are open */
#define EDF_ERR_READ (-5)             /* the header could not be read whole */
#define EDF_ERR_ALREADY_OPEN (-6)     /* the same path is open under another handle */
#define EDF_ERR_FILETYPE (-7)         /* the writer makes EDF+ and BDF+ only */
#define EDF_ERR_SIGNAL_COUNT (-9)     /* the writer takes 0 to 4095 ordinary signals */
#define EDF_ERR_DISCONTINUOUS (-10)   /* EDF+D or BDF+D, which only the tolerant open reads */
#define EDF_ERR_ANNOTATION_MODE (-11) /* not one of the EDF_READ_* modes */

/* Codes of the operations on whole files: recovery (edf_recover_file, edf_plan_recovery), the
 * repaired copy (edf_repair_file), the continuous copy (edf_continuous_copy) and
 * de-identification (edf_anonymize_file), with those above; edfopen_file_writeonly also gives
 * EDF_ERR_BEING_WRITTEN. Each situation has one code in all of them:
 *   a null path, the file's or the output's ............................ EDF_ERR_CANNOT_OPEN
 *   the file cannot be opened, or the output cannot be created ........... EDF_ERR_CANNOT_OPEN
 *   the file or the output is open in this process ....................... EDF_ERR_ALREADY_OPEN
 *   the output is the file itself, under any name ........................ EDF_ERR_ALREADY_OPEN
 *   the output exists and the call is not to replace it .................. EDF_ERR_OUTPUT_EXISTS
 *   another program is writing the file (or the output to be replaced) ... EDF_ERR_BEING_WRITTEN
 *   reading the file fails, or it is shorter than its header says ........ EDF_ERR_READ
 *   writing, syncing or truncating fails (a full disk, say) .............. EDF_ERR_WRITE
 *   an allocation fails .................................................. EDF_ERR_NO_MEMORY
 *   another bad argument (unknown flags, a null record, a capacity) ...... -1
 * A file is being written while a writer's handle has it open (see edfopen_file_writeonly):
 * the writer marks it for the handle's whole life, and the mark goes when the handle is
 * closed or the writing process ends in any way. */
#define EDF_ERR_BEING_WRITTEN (-32) /* another program is writing the file */
#define EDF_ERR_WRITE (-33)         /* the file cannot be written in full */
#define EDF_ERR_OUTPUT_EXISTS (-34) /* the output file exists, and is not to be replaced */
/* edf_continuous_copy: the recording has no continuous form that keeps every sample's time */
#define EDF_ERR_NO_CONTINUOUS_FORM (-35)

/* Codes of the header writer, returned by the first sample write of a file and by close
 * when the signal descriptions cannot make a valid header. Nothing is written then, and the
 * setters still accept corrections: fix the signal and write again. */
#define EDF_ERR_NEGATIVE_SIGNAL_COUNT (-20)
#define EDF_ERR_TOO_MANY_SIGNALS (-21)    /* ordinary and annotation signals above 4096 */
#define EDF_ERR_SAMPLES_PER_RECORD (-22)  /* a signal without samples per record */
#define EDF_ERR_DIGMIN_IS_DIGMAX (-23)    /* a signal's digital limits are equal */
#define EDF_ERR_DIGMAX_BELOW_DIGMIN (-24) /* a signal's digital maximum is below its minimum */
#define EDF_ERR_PHYSMIN_IS_PHYSMAX (-25)  /* a signal's physical limits are equal */
#define EDF_ERR_RECORD_TOO_LARGE (-26)    /* a data record above 10 MiB (EDF+) or 15 MiB (BDF+) */
/* A physical minimum or maximum that the eight-character header field cannot hold: not a
 * finite number, an integer part that needs more than eight characters (>= 100000000 or
 * <= -10000000), or two limits whose written texts read back as the same value (0.0000001 and
 * 0.00000001 both become "0.000000"). */
#define EDF_ERR_PHYSICAL_VALUE_TEXT (-27)

/* Where the writer puts its annotation signals among the ordinary signals, in the header and
 * in every data record: after all of them, before ordinary signal number n / 2 (n ordinary
 * signals), or before all of them. */
#define EDF_ANNOTATIONS_AT_END 0
#define EDF_ANNOTATIONS_IN_MIDDLE 1
#define EDF_ANNOTATIONS_AT_START 2

/* Values for edf_set_sex, written as "F" and "M". */
#define EDF_FEMALE 0
#define EDF_MALE 1

/* Annotation-read modes of edfopen_file_readonly. NO_ANNOTATIONS collects none (the first
 * record's time-keeping annotation is still read, for the sub-second start); ANNOTATIONS
 * collects all, except that in a file with one annotation signal the rest of a record's
 * annotation signal after an annotation beginning with "Recording ends" is skipped;
 * ALL_ANNOTATIONS collects all. Every mode checks every record it reads. */
#define EDF_READ_NO_ANNOTATIONS 0
#define EDF_READ_ANNOTATIONS 1
#define EDF_READ_ALL_ANNOTATIONS 2

/* Origins for edfseek, with the values of the standard stream-positioning calls. */
#define EDFSEEK_SET 0
#define EDFSEEK_CUR 1
#define EDFSEEK_END 2

/* ---- Public records ------------------------------------------------------------------- */

/* One ordinary signal of a file opened for reading. Texts are as stored in the header,
 * trailing spaces included, NUL-terminated. */
struct edf_signal_info {
    char label[17];
    int64_t samples_in_file; /* samples_per_record x datarecord_count */
    double physical_max;     /* in physical_dimension units */
    double physical_min;
    int32_t digital_max;
    int32_t digital_min;
    int32_t samples_per_record; /* samples in one data record */
    char physical_dimension[9];
    char prefilter[81];
    char transducer[81];
};

/* Filled by edfopen_file_readonly. The record is large (about 1 MB, because of the 4096
 * signal entries): allocate it statically or on the heap rather than on a small stack. Texts
 * are NUL-terminated; the EDF+/BDF+ identification subfields have their '_' turned back into
 * spaces and are empty when the file has "X" (unknown). */
struct edf_header_info {
    int32_t handle;   /* 0 to 63, or -1 when the open failed */
    int32_t filetype; /* EDF_FILETYPE_*, or the negative error code when the open failed */
    int32_t ordinary_signal_count; /* signals[0] to signals[ordinary_signal_count - 1] */
    int64_t file_duration;         /* in ticks: datarecord_count x datarecord_duration */
    int32_t start_day;             /* local start date and time as in the header */
    int32_t start_month;
    int32_t start_year;      /* 1985 to 2084 */
    int64_t start_subsecond; /* in ticks, 0 to 9999999 (EDF+/BDF+ only; 0 otherwise) */
    int32_t start_second;
    int32_t start_minute;
    int32_t start_hour;
    char patient[81];   /* plain EDF/BDF only: the whole patient field */
    char recording[81]; /* plain EDF/BDF only: the whole recording field */
    char patient_code[81];
    char sex[16];       /* "Male", "Female" or empty */
    char gender[16];    /* the same as sex */
    char birthdate[16]; /* "dd mmm yyyy" (e.g. "05 mar 1970") or empty */
    int32_t birth_day;  /* the birth date as numbers, all 0 when unknown */
    int32_t birth_month;
    int32_t birth_year;
    char patient_name[81];
    char patient_additional[81];
    char admin_code[81];
    char technician[81];
    char equipment[81];
    char recording_additional[81];
    int64_t datarecord_duration; /* in ticks */
    int64_t datarecord_count;    /* 1 or more; 0 for a header-only file opened tolerantly */
    int64_t annotation_count;    /* annotations collected: edf_get_annotation's n range */
    struct edf_signal_info signals[EDF_MAX_SIGNALS]; /* the rest is zero */
};

/* One annotation of a file opened for reading, as handed out by edf_get_annotation. */
struct edf_annotation {
    int64_t onset;    /* ticks from the start of the recording (the sub-second start taken off) */
    int64_t duration; /* ticks; -EDF_TIME_DIMENSION when the annotation has no duration */
    char duration_text[20]; /* the duration as written in the file; empty when none */
    char annotation[513];   /* UTF-8 as stored, NUL-terminated, at most 512 bytes */
};

/* ---- Handle table --------------------------------------------------------------------- */

/* These three may be called from any thread at any time, also while other threads open and
 * close files; the answer then tells the table as it was at one moment during the call. */

/* 1 when a file of this path is open, for reading or writing, under some handle; 0 when not,
 * and for a null path. Paths are compared byte for byte over their first 1023 bytes, never
 * resolved: two names of one file count as two. */
EDF_API int edf_is_file_used(const char *path);
/* The number of open files, 0 to EDF_MAX_FILES. */
EDF_API int edf_get_number_of_open_files(void);
/* The handle of the n-th open file, counting open handles from 0 in increasing order; -1
 * when n is negative or not that many files are open. */
EDF_API int edf_get_handle(int n);
/* EDF_VERSION (127), always. */
EDF_API int edf_version(void);

/* ---- Writing -------------------------------------------------------------------------- */

/* Creates the file `path` (an existing file is emptied) as EDF+ (EDF_FILETYPE_EDFPLUS,
 * 16-bit samples) or BDF+ (EDF_FILETYPE_BDFPLUS, 24-bit samples) with number_of_signals
 * ordinary signals, 0 to 4095 (with 0 the data records hold annotation signals only).
 * Returns the handle, 0 to 63, or one of these codes, tested in this order:
 * EDF_ERR_FILETYPE, EDF_ERR_TOO_MANY_FILES, EDF_ERR_CANNOT_OPEN (null path),
 * EDF_ERR_ALREADY_OPEN, EDF_ERR_SIGNAL_COUNT, EDF_ERR_NO_MEMORY, EDF_ERR_CANNOT_OPEN (the file
 * cannot be created), EDF_ERR_BEING_WRITTEN (another program is writing the file, or changing
 * it in place: it is left as it was). A failed open holds nothing.
 *
 * The file is marked as being written for the handle's whole life: the writer holds an
 * advisory lock on its open file (flock), which the system drops when the handle is closed
 * and when the process ends in any way, a kill included. While the mark is held, recovery,
 * in-place de-identification, a writer in another process and the copies that would replace
 * the file refuse it with EDF_ERR_BEING_WRITTEN, and an existing file is emptied only once the
 * mark is taken. Readers neither take nor test the mark. On a file system that keeps no such
 * locks the file is written unmarked, as before.
 *
 * Threads: safe beside opens, closes and calls on other handles in other threads (see the
 * overview); the handle is then this thread's until it is closed, or handed over.
 *
 * Defaults: data records of 1 s, one annotation signal after the ordinary signals, no texts,
 * the start taken from the local clock at the first sample write. The signals have no
 * defaults: give each its samples per record and digital and physical limits before the first
 * sample write, which refuses the file otherwise (-20 to -27).
 *
 * The file is complete only after edfclose_file. Each data record reaches the file when it is
 * complete, but until close the header's record count reads "-1" and the queued annotations
 * exist in memory only: after a crash the file holds the header and the complete records,
 * and readers refuse it. */
EDF_API int edfopen_file_writeonly(const char *path, int filetype, int number_of_signals);
/* edfopen_file_writeonly, then every ordinary signal described alike: samplefrequency samples
 * per data record (at least 1; with the default 1-second record the rate in Hz), physical
 * limits -physical_maximum and physical_maximum in physical_dimension, the file type's whole
 * digital range (-32768 to 32767, or -8388608 to 8388607) and the labels "chan. 1",
 * "chan. 2", ... Returns the handle, the open's code, or -1 when a signal cannot be described
 * (samplefrequency below 1, a null dimension): the handle is then closed and the empty file
 * stays on disk. A physical_maximum of 0 gives equal limits, which the first sample write
 * refuses (EDF_ERR_PHYSMIN_IS_PHYSMAX). */
EDF_API int edfopen_file_writeonly_with_params(const char *path, int filetype,
                                               int number_of_signals, int samplefrequency,
                                               double physical_maximum,
                                               const char *physical_dimension);

/* Setters. Each stores one value of the header in the handle's description; nothing reaches
 * the file before the first sample write, which writes the header. They are accepted from the
 * open until a sample write has succeeded; after that they return -1, since the header is in
 * the file. Each returns 0, or -1 and changes nothing when the handle is not a writer's, when
 * edfsignal is not an ordinary signal (0 to number_of_signals - 1), when a text is null, or
 * when the value is outside the range given. Any order, any number of times: the last
 * accepted value counts.
 *
 * Texts are cut to their field's width (labels 16 bytes, dimensions 8, all others 80) and
 * stripped of leading and trailing spaces. The header holds printable ASCII only: when it is
 * written, Latin-1 and Windows-1252 letters become their nearest ASCII letter, other bytes
 * a look-alike sign or '.'. */

/* Samples of the signal in each data record, 1 or more (with the default 1-second record the
 * rate in Hz). A record of all signals must stay within 10 MiB (EDF+) or 15 MiB (BDF+):
 * EDF_ERR_RECORD_TOO_LARGE from the first sample write. */
EDF_API int edf_set_samplefrequency(int handle, int edfsignal, int samples_per_record);
/* The physical value of the digital maximum / minimum, in the signal's dimension. Any value
 * is stored; the first sample write refuses equal limits (EDF_ERR_PHYSMIN_IS_PHYSMAX) and
 * limits the eight-character field cannot hold (EDF_ERR_PHYSICAL_VALUE_TEXT). A limit is
 * written as the first eight characters of its nine-decimal text, not rounded (3276.7, in
 * binary 3276.69999..., becomes "3276.699"; 123456.789 becomes "123456.7"), and readers
 * compute the conversion from the written text: choose limits exact in eight characters
 * where that matters. A maximum below the minimum is allowed (an inverted scale). */
EDF_API int edf_set_physical_maximum(int handle, int edfsignal, double phys_max);
EDF_API int edf_set_physical_minimum(int handle, int edfsignal, double phys_min);
/* The digital limits: at most 32767 / at least -32768 in EDF+, at most 8388607 / at least
 * -8388608 in BDF+. The maximum must end above the minimum (EDF_ERR_DIGMIN_IS_DIGMAX,
 * EDF_ERR_DIGMAX_BELOW_DIGMIN from the first sample write); samples are clipped to them. */
EDF_API int edf_set_digital_maximum(int handle, int edfsignal, int dig_max);
EDF_API int edf_set_digital_minimum(int handle, int edfsignal, int dig_min);
/* The label, at most 16 bytes. Refused: a label that begins with "EDF Annotations" or "BDF
 * Annotations", as passed or in the form that reaches the header (cut, stripped,
 * transliterated), since it would make the signal an annotation signal. */
EDF_API int edf_set_label(int handle, int edfsignal, const char *label);
/* Transducer type (80 bytes), physical dimension (unit, 8 bytes), prefiltering (80 bytes). */
EDF_API int edf_set_transducer(int handle, int edfsignal, const char *transducer);
EDF_API int edf_set_physical_dimension(int handle, int edfsignal, const char *phys_dim);
EDF_API int edf_set_prefilter(int handle, int edfsignal, const char *prefilter);
/* The EDF+ patient identification subfields, 80 bytes each; an unset code, sex, birth date
 * or name is written as "X" (unknown). Spaces are written as '_', except in the additional
 * text. The patient field holds 80 bytes in all: code, sex, birth date, name and additional
 * text are written in this order, and the later ones are cut (or left out) when the earlier
 * ones take the room. */
EDF_API int edf_set_patientname(int handle, const char *patientname);
EDF_API int edf_set_patientcode(int handle, const char *patientcode);
/* EDF_FEMALE or EDF_MALE. edf_set_gender is the same call. */
EDF_API int edf_set_sex(int handle, int sex);
EDF_API int edf_set_gender(int handle, int gender);
/* Year 1800 to 3000, month 1 to 12, day 1 to the month's length: dates that do not exist
 * (31 April, 29 February of a common year) are refused. */
EDF_API int edf_set_birthdate(int handle, int birthdate_year, int birthdate_month,
                              int birthdate_day);
EDF_API int edf_set_patient_additional(int handle, const char *patient_additional);
/* The EDF+ recording identification subfields, 80 bytes each, written as the patient's are:
 * administration code, technician, equipment and additional text share the field's 52 bytes
 * after the start date, in this order. */
EDF_API int edf_set_admincode(int handle, const char *admincode);
EDF_API int edf_set_technician(int handle, const char *technician);
EDF_API int edf_set_equipment(int handle, const char *equipment);
EDF_API int edf_set_recording_additional(int handle, const char *recording_additional);
/* The local start of the recording: year 1985 to 2084 (what the header's two-digit year can
 * express), month 1 to 12, day 1 to 31, hour 0 to 23, minute and second 0 to 59. When never
 * set, the local date and time of the first sample write (or of close) is taken. */
EDF_API int edf_set_startdatetime(int handle, int startdate_year, int startdate_month,
                                  int startdate_day, int starttime_hour, int starttime_minute,
                                  int starttime_second);
/* The fraction of a second of the start, in ticks, 0 to 9999999; default 0. It goes into the
 * time-keeping annotation of every record; annotation onsets stay counted from the first
 * sample. */
EDF_API int edf_set_subsecond_starttime(int handle, int subsecond_ticks);
/* The duration of a data record in units of 10 us, 100 to 6000000 (1 ms to 60 s); default 1 s.
 * With the _us call, in microseconds, 1 to 9999 (records shorter than 10 ms). */
EDF_API int edf_set_datarecord_duration(int handle, int duration_10us);
EDF_API int edf_set_datarecord_duration_us(int handle, int duration_us);
/* Annotation signals in the file, 1 to 64; default 1. Each record holds one annotation per
 * annotation signal, so a recording with A annotation signals and R records stores at most
 * A x R annotations: take more annotation signals when annotations outnumber the records. */
EDF_API int edf_set_number_of_annotation_signals(int handle, int annot_signals);
/* EDF_ANNOTATIONS_AT_END (default), EDF_ANNOTATIONS_IN_MIDDLE or EDF_ANNOTATIONS_AT_START. */
EDF_API int edf_set_annotation_signal_position(int handle, int position);

/* Sample writers. A data record holds samples_per_record samples of every ordinary signal.
 * The per-signal writers (edfwrite_*) take one signal's samples of the current record per
 * call, for signals 0, 1, ..., n - 1 in turn, and the record is complete after signal n - 1;
 * the writers may be mixed from signal to signal. The block writers (edf_blockwrite_*) take a
 * whole record per call, signal 0's samples first, each signal's samples_per_record values in
 * a row; they are refused while a record is partly written.
 *
 * The first write of a file writes the header: a description that cannot make a valid header
 * gives its code (EDF_ERR_NEGATIVE_SIGNAL_COUNT to EDF_ERR_PHYSICAL_VALUE_TEXT) and writes
 * nothing. Each complete record is written with its annotation block and flushed to the file
 * at once. Values outside a signal's digital range are written as the nearest limit.
 *
 * Returns 0; the header writer's code; or -1 for a handle that is not a writer's, a file
 * without ordinary signals, a null buffer, a call of the wrong file type, or a write or flush
 * that failed. After a failed write nothing is rolled back and the record is not counted, but
 * the next write first seeks to where its bytes belong, so a caller that retries once the
 * cause is gone (a full disk made room, say) gets a correctly laid-out file. The buffers are
 * only read, except by the two 16-bit writers (see there). */

/* samples_per_record physical values of the next signal. Each is converted as
 * value / bit_value - offset, truncated toward zero and clipped to the digital range: values
 * beyond the physical range and infinities take the nearest digital limit, NaN the digital
 * minimum. */
EDF_API int edfwrite_physical_samples(int handle, const double *buf);
/* samples_per_record digital values of the next signal. */
EDF_API int edfwrite_digital_samples(int handle, const int *buf);
/* samples_per_record 16-bit digital values of the next signal; EDF+ only. The 16-bit writers
 * never change the caller's array (values outside the signal's digital range are clipped in
 * the writer's own buffer); the parameter stays non-const for compatibility. */
EDF_API int edfwrite_digital_short_samples(int handle, short *buf);
/* One whole record as physical values, digital values or 16-bit digital values (EDF+ only,
 * clipped in the caller's array): the sum of all samples_per_record values. */
EDF_API int edf_blockwrite_physical_samples(int handle, const double *buf);
EDF_API int edf_blockwrite_digital_samples(int handle, const int *buf);
EDF_API int edf_blockwrite_digital_short_samples(int handle, short *buf);
/* One whole record of BDF+ samples already packed: 3 bytes per sample, least significant
 * first, in the record's order of signals and samples (3 x the sum of samples_per_record
 * bytes). Written as they are, without clipping; EDF+ files refuse it. */
EDF_API int edf_blockwrite_digital_24bit_samples(int handle, const void *buf);

/* Annotations are queued and stored in the file as soon as their place in it exists, in
 * queue order (not sorted by onset): annotation i in record i / A, annotation signal i mod A
 * (A annotation signals), written at once when that record is complete, else with it (see
 * "Crash-safe writing and recovery" below). Close stores the rest, packing those beyond one
 * per place where they fit, and returns EDF_ERR_ANNOTATIONS_LOST when some find no room (see
 * edf_set_number_of_annotation_signals). Queueing is allowed at any time between the open and
 * the close, before, between and after sample writes.
 *
 * onset counts from the start of the recording (its first sample, sub-second start included),
 * 0 or more, and reads back exactly, to the 100 ns tick; duration is 0 or more, or negative
 * for "no duration". The _us calls take microseconds, the others units of 100 us. Texts are
 * stored as UTF-8 of at most EDF_ANNOTATION_TEXT_MAX (40) bytes: whole when their UTF-8 form
 * fits, otherwise cut before the first character that does not fit. The UTF-8 calls repair
 * invalid UTF-8 instead of refusing it: each byte that is not part of a well-formed sequence
 * is taken as a Latin-1 character (0x80-0x9F as '.'); the Latin-1 calls convert the text to
 * UTF-8. Control bytes and DEL (0x7F) are stored as '.'.
 *
 * Returns 0 when queued; -1 for a handle that is not a writer's, a null text, a negative
 * onset, an onset above about 922337203684.47 s or a duration above 922337203685.4775 s
 * (beyond them the reader's 64-bit tick count would overflow; about 29000 years), or when
 * memory runs out (the annotations queued before stay). */
EDF_API int edfwrite_annotation_utf8_us(int handle, int64_t onset, int64_t duration,
                                        const char *description);
EDF_API int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration,
                                     const char *description);
EDF_API int edfwrite_annotation_latin1_us(int handle, int64_t onset, int64_t duration,
                                          const char *description);
EDF_API int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration,
                                       const char *description);

/* ---- Reading -------------------------------------------------------------------------- */

/* Opens the EDF, EDF+, BDF or BDF+ file `path` for reading, checks its header and (EDF+,
 * BDF+) its annotation signals in every record, collects the annotations as read_annotations
 * (EDF_READ_*) asks, and fills *hdr. The file is not read again until samples are asked for.
 *
 * Returns 0 with hdr->handle the new handle and hdr->filetype the file type; or -1 with
 * hdr->handle -1, hdr->filetype the code and the rest of *hdr zero: EDF_ERR_ANNOTATION_MODE,
 * EDF_ERR_TOO_MANY_FILES, EDF_ERR_CANNOT_OPEN (also for a null path),
 * EDF_ERR_ALREADY_OPEN, EDF_ERR_NO_MEMORY, EDF_ERR_READ, EDF_ERR_FORMAT,
 * EDF_ERR_DISCONTINUOUS. A null hdr gives -1. A failed open holds nothing.
 *
 * Refused with EDF_ERR_FORMAT: any header field that breaks the format (texts outside
 * printable ASCII, numbers that do not parse, digital maximum not above minimum, equal
 * physical limits, a record count of -1 or 0, ...); a file whose size is not exactly header +
 * records x record size (a file still being written, or cut short); more than 4096 signals;
 * annotation signals whose time-keeping annotations or TALs break the format. Refused too,
 * where the format would allow them but the values could not be represented: a total
 * duration, or annotation onsets or durations, beyond 64-bit ticks, and physical limits that
 * are not finite. Record durations in exponent form ("1E-3") are converted exactly to ticks.
 * Discontinuous files (EDF+D, BDF+D), which conform to the format, are refused with
 * EDF_ERR_DISCONTINUOUS: edfopen_file_readonly_tolerant reads them.
 *
 * Threads: safe beside opens, closes and calls on other handles in other threads (see the
 * overview); the handle is then this thread's until it is closed, or handed over. */
EDF_API int edfopen_file_readonly(const char *path, struct edf_header_info *hdr,
                                  int read_annotations);
/* Moves the read position of ordinary signal edfsignal, in samples from the start of the
 * recording: to offset from the start (EDFSEEK_SET), from the current position (EDFSEEK_CUR)
 * or from the end (EDFSEEK_END); the result is clamped to 0 to samples_in_file. Another
 * whence leaves the position. Returns the new position, or -1 for a handle that is not a
 * reader's or a bad signal number. Each signal has its own position, 0 after the open. */
EDF_API int64_t edfseek(int handle, int edfsignal, int64_t offset, int whence);
/* The read position of the signal, or -1 for a bad handle or signal. */
EDF_API int64_t edftell(int handle, int edfsignal);
/* Sets the read position of the signal to 0: 0, or -1 for a bad handle or signal. */
EDF_API int edfrewind(int handle, int edfsignal);
/* Reads up to n samples of ordinary signal edfsignal from its read position into buf (room
 * for n values) and advances the position by the count read. Digital values are clamped to
 * the signal's digital range; physical values are (digital + offset) x bit_value.
 *
 * Returns the count read: n, fewer at the end of the signal, 0 when the position is at the end
 * or n is 0. Returns -1 for a handle that is not a reader's, a bad signal number, n below 0
 * or a null buf (n above 0), and when the file has become shorter than its header says: the
 * position then stays and buf holds the samples before the first missing one.
 *
 * Reads are buffered, as with any buffered reader: a read that memory can serve hands out the
 * samples as they were when they were read ahead, without asking the file again (no system
 * call); a read that goes to the file sees the file as it is at the time of the read
 * (positioned reads), and gives -1 when the file no longer holds a sample it needs. Memory
 * serves two kinds of reads:
 * - a read of a few records' worth of samples that the handle's record cache holds: the last
 *   whole records read for a read of another signal than the one before (at most 512 KiB of
 *   records, shared by the signals), so that a viewer reading the same seconds of each signal
 *   in turn reads those records from the file once;
 * - a read of at most half of the signal's read-ahead window (4 to 64 KiB per signal, 1 MiB
 *   per handle shared among its signals) that the window holds; a miss fills the window with
 *   that signal's samples from the read position on.
 * So a file shortened while open still gives the samples read ahead, bytes rewritten in place
 * are seen only once memory no longer holds them, and samples_in_file stays as the open found
 * it when the file grows (a recording being written: close and open again to see the new
 * records, and to read the file anew). The record reads (edfread_physical_records) always
 * read from the file. */
EDF_API int edfread_digital_samples(int handle, int edfsignal, int n, int *buf);
EDF_API int edfread_physical_samples(int handle, int edfsignal, int n, double *buf);
/* Copies annotation n (0 to hdr->annotation_count - 1, in file order: record by record, then
 * annotation signal and TAL) into *annot, which is cleared first. Returns 0, or -1 with *annot
 * all zero for a handle that is not a reader's, n out of range, or a null annot. */
EDF_API int edf_get_annotation(int handle, int n, struct edf_annotation *annot);

/* ---- Discontinuous recordings (EDF+D and BDF+D) ----------------------------------------
 *
 * In an EDF+D or BDF+D file each data record carries its own start time in its time-keeping
 * annotation, and the records need not follow each other: the pauses between them (gaps) are
 * not stored. Records that follow each other without a gap form a segment. Sample positions,
 * seeks and reads count stored samples only: a gap holds none.
 *
 * A record whose time-keeping annotation cannot be read (its time is unknown) is left out of
 * the time axis by the tolerant open, and listed as a repaired problem (field "time-keeping
 * annotation", with its record): it belongs to no segment, edf_get_record_start gives -1 for
 * it, it ends the segment before it, and the record after it begins a segment of its own (even
 * one that starts where the record before the unknown one ends). Its stored samples keep their
 * place, as every stored sample does: positions, seeks and both kinds of reads count them, and
 * datarecord_count and samples_in_file include the record. A reader that takes the samples of
 * each segment (records first_record to first_record + record_count - 1) never meets them.
 * Its annotations, which carry onsets of their own, stay in the list. The first record's time
 * comes from the header (the start, with a sub-second start of 0), and so does every record's
 * in a continuous file: such records keep their place on the axis. */

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

/* Segments of the file: 1 for a continuous file (also for one without records); they hold every
 * record whose time is known, in order. Answered by reading and writing handles (a writer
 * counts the records completed so far). Returns the count, or -1 for a bad handle. This call
 * and the two below never read the file nor move a read position: the map is built when the
 * file is opened. */
EDF_API int edf_get_segment_count(int handle);

/* Copies segment n (0 to count - 1) into *segment. Returns 0, or -1 for a bad handle, an n out
 * of range or a null segment (which is never written). */
EDF_API int edf_get_segment(int handle, int n, struct edf_segment *segment);

/* The start of data record `record` (0 to datarecord_count - 1) in ticks from the start of the
 * recording, or -1 for a bad handle, a record out of range or a record whose time is unknown
 * (left out of the time axis, see above). */
EDF_API int64_t edf_get_record_start(int handle, int64_t record);

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

/* De-identifies an EDF, EDF+, BDF or BDF+ file that edfopen_file_readonly or
 * edfopen_file_readonly_tolerant reads: a file that only the tolerant open reads is repaired
 * as it is copied (in place it is refused with the strict open's code); a discontinuous file
 * (EDF+D, BDF+D) that breaks no rule but its gaps (annotation texts that are not UTF-8, which
 * the strict open accepts, aside) is de-identified as it stands, in place or into a copy, and
 * stays discontinuous; one with other problems is repaired as it is copied, as a continuous
 * one is, and stays discontinuous too (in place it is refused with the strict open's code).
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
 *   write followed by fsync, after the writer's in-use mark has been taken (a file that another
 *   program is writing is refused, see edfopen_file_writeonly, and no writer starts on it
 *   until the call returns), the whole file has been checked as the strict open checks it in
 *   mode EDF_READ_ALL_ANNOTATIONS (every record's annotation signals: the time grows with the
 *   file, about one such open), and the file found not open in this process. A run that is
 *   interrupted at any moment leaves either the old or the new header (a write that the system
 *   cuts short, or cannot sync, is undone with the old bytes). The data records are
 *   never written: the file is accepted after the call exactly when it was before. When the
 *   de-identification would have to change them (a sub-second start to clear without
 *   EDF_ANON_KEEP_START_TIME, or annotation texts other than "X" to drop), nothing is written
 *   and the result is EDF_ERR_NEEDS_COPY.
 * - Into a copy, the whole file is checked by the strict open first and the copy is written
 *   from the start; `path` is never written. An existing copy is replaced (emptied once its
 *   in-use mark is taken: one that another program is writing is refused). The copy is not
 *   fsync'ed. On failure the copy is removed (unless it is a device, such as /dev/null). A
 *   file that the strict open refuses for its bytes (EDF_ERR_FORMAT, EDF_ERR_READ), and a
 *   discontinuous file with other problems, is first repaired by edf_repair_file into a
 *   temporary file beside the copy, named `out_path` + ".repairing-" and six characters,
 *   which is then de-identified into `out_path` and removed (also on failure; only a killed
 *   process leaves it): the copy holds the complete records of the source (those of a
 *   discontinuous file whose time is unknown left out), repaired as edf_repair_file repairs
 *   them.
 *
 * Result: 0 on success; then the copy, or the file rewritten in place, is accepted by
 * edfopen_file_readonly (a discontinuous file: by edfopen_file_readonly_tolerant, which lists
 * its discontinuity and nothing that the strict open would refuse).
 * On failure (codes as listed at EDF_ERR_BEING_WRITTEN): EDF_ERR_CANNOT_OPEN for a NULL
 * path; -1 for unknown flags; EDF_ERR_ALREADY_OPEN for a copy that would be the source file
 * (under any name) and when `path` or `out_path` is open in this process; the codes of
 * edfopen_file_readonly for a file that it refuses and that cannot be repaired;
 * EDF_ERR_BEING_WRITTEN when another program is writing the file to change in
 * place or the copy to replace; EDF_ERR_CANNOT_OPEN when the file or the copy cannot be opened
 * or created; EDF_ERR_WRITE when it cannot be written in full (or fsync fails); EDF_ERR_READ
 * when the source cannot be read in full; EDF_ERR_FORMAT when the file changed after the check
 * (in place: its fixed header part; into a copy: annotation signals that no longer parse);
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
    int64_t stored_count;     /* the record count that the header holds now; -1: never set
                                 (or not a number) */
    int64_t complete_records; /* the count that recovery writes */
    int64_t partial_bytes;    /* bytes of a partial record at the end, which recovery cuts */
};

/* Recovers a file whose writer died before close, in place: sets the header's record count
 * from the number of complete data records and cuts a trailing partial record off. It first
 * checks the file as edf_check_file does, and goes ahead only when every problem listed is one
 * that an unfinished recording has: field "number of data records" (the count "-1" or not
 * matching the file) or "incomplete data record" (a partial last record); an EDF+D/BDF+D file
 * (listed as conforming, EDF_PROBLEM_CONFORMS) is recovered as well, and so are problems that
 * the strict open accepts (code 0: annotation texts that are not UTF-8, left as they are). The
 * recovered file is then one that the strict open accepts (an EDF+D file: the tolerant open). It
 * rewrites only the 8-byte record-count field and truncates the file; it never moves or copies
 * data, and leaves a file that needs neither untouched. The check reads the annotation signals
 * of every record, as the strict open does: recovery costs about one open of the file. The file
 * must not be open in this process, nor being written by another program: recovery first
 * takes the writer's in-use mark (see edfopen_file_writeonly) and holds it until it returns,
 * so that it never cuts the record that a live writer is assembling and no writer starts on
 * the file meanwhile; the file of a writer that died (killed, crashed) carries no mark and is
 * recovered at once. Returns the number of complete records (1 or more) on success; changing
 * nothing: EDF_ERR_CANNOT_OPEN when the path is null or the file cannot be opened for reading
 * and writing; EDF_ERR_ALREADY_OPEN when this process has it open; EDF_ERR_BEING_WRITTEN when
 * another program is writing it (its mark is held); the code of the first other problem
 * (EDF_ERR_FORMAT, or EDF_ERR_READ for a header shorter than it declares) when the check lists
 * any other problem, no complete record and a file of the header alone included (recovery
 * does not guess at a broken file: edf_repair_file writes a repaired copy); EDF_ERR_FORMAT
 * when the file holds more records than the count field can hold or changed during the check;
 * EDF_ERR_READ when reading fails; EDF_ERR_NO_MEMORY. EDF_ERR_WRITE when writing the count or
 * truncating fails (the count may then be written and the partial record not yet cut: the
 * file is still recoverable). */
EDF_API int edf_recover_file(const char *path);

/* The same check as edf_recover_file, reading only: fills *plan with what recovery would do
 * and returns 0, or returns the same negative codes (EDF_ERR_BEING_WRITTEN too: it tests the
 * mark without taking it; -1 for a null plan). Calling edf_check_file on a refused file lists
 * its problems. */
EDF_API int edf_plan_recovery(const char *path, struct edf_recovery_plan *plan);

/* ---- Reading whole records ------------------------------------------------------------ */

/* Reads the samples of data records first_record to first_record + record_count - 1 of the
 * listed ordinary signals, in one pass over the file with large reads: the fast way to read
 * a whole recording, or a stretch of it, at once.
 *
 * signals: signal_count (1 or more) ordinary signal numbers, 0 to ordinary_signal_count - 1,
 * in any order; a number may repeat. bufs: signal_count buffers; bufs[i] receives the
 * samples of signals[i] in time order, samples_per_record x (records read) values, so it
 * must have room for samples_per_record x record_count of them. Values are exactly those
 * that edfread_physical_samples / edfread_digital_samples give for the same samples
 * (clamped to the digital range; physical = (digital + offset) x bit value).
 *
 * first_record counts from 0. Reading stops at the end of the recording: the result is the
 * number of records read, 0 when first_record is at or past the end or record_count is 0.
 * Returns -1 for a bad handle, a handle opened for writing, first_record or record_count
 * negative, signal_count below 1, a null array or buffer, or a signal number out of range
 * (nothing is read then), and when the file has become shorter than its header says (the
 * buffers may then hold part of the samples). The per-signal read positions (edfseek,
 * edftell) are neither used nor moved. */
EDF_API int edfread_physical_records(int handle, int64_t first_record, int record_count,
                                     int signal_count, const int *signals, double *const *bufs);
EDF_API int edfread_digital_records(int handle, int64_t first_record, int record_count,
                                    int signal_count, const int *signals, int *const *bufs);

/* ---- Library version ------------------------------------------------------------------ */

/* The library's release, major.minor.patch: the major number changes when a program built
 * against an older release may no longer link or run with this one (it is the shared
 * library's SONAME number), the minor number when functions are added. EDF_VERSION (127) is
 * a different, older number and stays as it is. The build reads the version from here. */
#define RECORDING_VERSION_MAJOR 1
#define RECORDING_VERSION_MINOR 0
#define RECORDING_VERSION_PATCH 0
#define RECORDING_VERSION_TEXT_(x) #x
#define RECORDING_VERSION_TEXT(x) RECORDING_VERSION_TEXT_(x)
/* clang-format off */
#define RECORDING_VERSION_STRING                                                                   \
    RECORDING_VERSION_TEXT(RECORDING_VERSION_MAJOR) "."                                            \
    RECORDING_VERSION_TEXT(RECORDING_VERSION_MINOR) "."                                            \
    RECORDING_VERSION_TEXT(RECORDING_VERSION_PATCH)
/* clang-format on */

/* The version of the library the program runs with, as "major.minor.patch" (compare it with
 * RECORDING_VERSION_STRING, the version it was built against). The text is static: never
 * free or change it. */
EDF_API const char *recording_version(void);
/* ---- Problems, checking and the tolerant open ------------------------------------------ */

/* What the tolerant open does about a problem (edf_problem.action). */
/* The file breaks the format here; the tolerant open reads past it, as the message says. */
#define EDF_PROBLEM_REPAIRED 1
/* Nothing can be read past it: the tolerant open fails too. */
#define EDF_PROBLEM_FATAL 2
/* Not a break of the format: the file is discontinuous (EDF+D or BDF+D), as the format allows,
 * but the strict open does not read that kind (code EDF_ERR_DISCONTINUOUS); the tolerant open
 * reads it as it stands, with its true time axis. */
#define EDF_PROBLEM_CONFORMS 3

/* One way in which a file breaks the format, or the note that it is discontinuous. The texts
 * are NUL-terminated. */
struct edf_problem {
    int64_t offset; /* byte offset in the file of the offending field or bytes, -1 for the file
                       as a whole */
    int32_t signal; /* header signal index (annotation signals counted), or -1 */
    int64_t record; /* data record index, or -1 */
    /* The code that the strict open gives for this problem (EDF_ERR_FORMAT, EDF_ERR_READ,
     * EDF_ERR_DISCONTINUOUS), or 0 for what the strict open accepts as it stands: an annotation
     * text that is not UTF-8 (field "annotation text"), which it hands out as stored. */
    int32_t code;
    int32_t action;    /* EDF_PROBLEM_REPAIRED, EDF_PROBLEM_FATAL or EDF_PROBLEM_CONFORMS */
    char field[33];    /* the header field or part of the file, such as "number of data records",
                          "physical minimum", "start date", "annotation", "annotation text",
                          "time-keeping annotation", "incomplete data record", "data records" */
    char found[81];    /* the offending bytes: printable ASCII as it stands, other bytes as \xNN,
                          cut to 80 characters */
    char message[241]; /* the rule that is broken and what the tolerant open does about it, in
                          one English sentence */
};

/* Checks the file at `path` without opening it for reading: reports every problem of the
 * header and of the annotation signals of every data record, in the order in which the strict
 * open meets them (the fixed header, the signal header field by field, the identification
 * subfields, the file size, the discontinuity, then the records), and copies the first
 * `capacity` of them to `problems` (which may be null when capacity is 0). A fatal problem ends
 * the check: what follows it cannot be located. Returns the number of problems (the count can
 * exceed capacity): for every file that can be read at all, a fatal problem included (records
 * of an EDF+D file that overlap, say: the last problem then names the record and the bytes of
 * its time-keeping annotation). Returns a negative open code (EDF_ERR_CANNOT_OPEN for a path
 * that is null, missing or a directory, EDF_ERR_NO_MEMORY, EDF_ERR_READ when a read fails) only
 * when the file cannot be checked at all; -1 for a negative capacity or null problems with a
 * positive one.
 * The file conforms to the format when every problem listed is EDF_PROBLEM_CONFORMS (none, or
 * the note that it is discontinuous). The strict open, edfopen_file_readonly in mode
 * EDF_READ_ALL_ANNOTATIONS, accepts the file exactly when every problem listed has code 0 (so
 * when the check returns 0, and when all it lists are annotation texts that are not UTF-8),
 * unless it refuses the file for a reason that is not the file's (no free handle, already
 * open, no memory); otherwise it returns the code of the first problem whose code is not 0.
 * It takes no handle, never changes the file and keeps nothing after it returns. */
EDF_API int edf_check_file(const char *path, struct edf_problem *problems, int capacity);

/* Opens a file for reading as edfopen_file_readonly does (same arguments, same header record,
 * same handle rules), but reads past every problem that can be repaired without guessing
 * where the samples are, and keeps the list of problems with the handle: the same list as
 * edf_check_file's (in mode EDF_READ_ALL_ANNOTATIONS; the other modes look at fewer records).
 * For a file that the strict open accepts, it gives exactly the same header and samples, and
 * the same annotations except for texts that are not UTF-8 (handed out converted, see below).
 * Repairs (each one listed as an EDF_PROBLEM_REPAIRED problem): a record count that is missing
 * or does not match the file size (the complete records are read, an incomplete last record is
 * ignored); a file of the header alone with a record count of 0, as a writer closed before its
 * first sample write leaves it (read as an empty recording: no records, no samples, no
 * annotations, one empty segment; listed as field "data records"); header texts outside
 * printable ASCII (handed out as UTF-8: a text whose bytes are well-formed UTF-8 as the
 * characters it holds, any other taken as Latin-1, cut on a character boundary to the field's
 * room; the whole identification field decides for its subfields; a label that then reads
 * "EDF Annotations" or "BDF Annotations" has '_' for its first space, as an ordinary signal
 * labelled "EDF Annotations " has in every open); start dates and times with other
 * separators, one-digit parts or month names (unreadable ones become 01.01.85 and 00.00.00);
 * EDF+ identification fields outside the subfield grammar (kept whole in `patient`
 * and `recording`, subfields empty); junk in the reserved field; "EDF+C" or "BDF+C" without an
 * annotation signal (read as plain EDF or BDF); equal physical or equal digital limits (read
 * with physical = digital, limits reported as the digital range); number fields with
 * surrounding junk or a decimal comma, where the number is unambiguous; fields of annotation
 * signals that must be blank or fixed; annotation lists (TALs) that break a rule (skipped,
 * the rest of the record kept); time-keeping annotations that are missing or wrong (the
 * record's time comes from the header; but a record of an EDF+D/BDF+D file after the first
 * whose time-keeping annotation cannot be read has no known time and is left out of the time
 * axis, see "Discontinuous recordings" above); annotation texts that are not UTF-8 (taken as
 * Latin-1 and handed out as UTF-8, cut on a character boundary to 512 bytes; listed once per
 * data record, field "annotation text", with code 0, since the strict open accepts such a text
 * and hands it out as stored). Fatal, the open fails with the strict code: an unknown version,
 * a header shorter than it declares, a signal count or header size that does not add up,
 * unreadable or out-of-range numbers, a record size beyond the limits, no complete record (in
 * a file that is more than its header), and a record of an EDF+D/BDF+D file that starts before
 * the previous record on the time axis ends.
 * Discontinuous files (EDF+D, BDF+D), which conform but which the strict open refuses, are read
 * with their true time axis (listed as EDF_PROBLEM_CONFORMS): each record's start comes from
 * its time-keeping annotation (see "Discontinuous recordings" above; file_duration is then the
 * end of the last record on the time axis minus the start).
 * Returns 0 or -1 as edfopen_file_readonly does, with the code in hdr->filetype. */
EDF_API int edfopen_file_readonly_tolerant(const char *path, struct edf_header_info *hdr,
                                           int read_annotations);

/* The number of problems that the open of `handle` listed: 0 for a file opened strictly or
 * one that conforms and is continuous; -1 for a handle that is not open for reading. */
EDF_API int edf_get_problem_count(int handle);

/* Copies problem n (0 to count - 1, in the order of edf_check_file) of the open of `handle`
 * into *problem. Returns 0, or -1 (record cleared when not null) for a bad handle, n or null
 * record. */
EDF_API int edf_get_problem(int handle, int n, struct edf_problem *problem);

/* ---- Opening from memory and from a caller's source ------------------------------------
 * Besides a path, a recording can be read from bytes in memory or from any source that a
 * caller provides as callbacks (a remote file through range requests, a member of an archive,
 * a file object of another language). Every read of such a handle goes through the source:
 * the reads of the open, of samples and records, and of edf_read_annotations. The in-use test
 * of paths (edf_is_file_used, EDF_ERR_ALREADY_OPEN) does not apply to these handles.
 *
 * Reads of a source of callbacks go through a small cache of aligned 64 KiB blocks (eight of
 * them): reads smaller than a block are served from the blocks that hold them, a missing
 * block is asked for whole, the block after it in the same call while the misses run
 * forward; reads of a block or more are asked for as they are, in one call. So a viewer that
 * scrolls a remote file makes few requests: opened in EDF_READ_NO_ANNOTATIONS, a handle asks
 * for the header and the first data record, and a window of samples for its records. */

/* A caller's source of bytes. read_at reads up to `bytes` bytes (1 or more) at byte `offset`
 * (0 or more) into `buffer` and returns the count read: `bytes`, fewer only where the source
 * ends (0 at or after its end), or -1 when it fails; a count below -1 or above `bytes` counts
 * as a failure. The library never retries a short read (it is the end) and never asks again
 * after a failure within the same operation. size returns the size in bytes, or -1 when it is
 * unknown; it is asked once, when the open or the check starts, and the source is taken not to
 * change while it is read. size may be null (unknown). release, which may be null, is called
 * exactly once with `user`: when the handle opened on the source is closed, or before the call
 * that was given the source returns when it opens no handle (every failure of an open, a null
 * `hdr` included, and every edf_check_source). The library calls the functions only from the
 * thread that makes the call on the handle (or the open or check), never at the same time. */
struct edf_source {
    int64_t (*read_at)(void *user, void *buffer, int64_t bytes, int64_t offset);
    int64_t (*size)(void *user);
    void (*release)(void *user);
    void *user;
};

/* Flag bits of edfopen_source_readonly and edfopen_memory_readonly. EDF_OPEN_TOLERANT reads
 * as edfopen_file_readonly_tolerant does (problems kept with the handle); without it the open
 * is the strict one of edfopen_file_readonly. */
#define EDF_OPEN_TOLERANT 1
/* EDF_OPEN_EXACT_READS (edfopen_source_readonly) is for sources whose calls are cheap, such as
 * slices of a local file or of memory that the caller holds: each read that the reader needs
 * becomes one read_at call of exactly its span, where without it reads go through a small cache
 * of 64 KiB blocks that fetches ahead (for sources where each call is a network request). Reads
 * of the annotations of every record then read their annotation signals only, not the whole
 * file. The recording read is the same either way; edfopen_memory_readonly accepts the bit and
 * has no use for it. */
#define EDF_OPEN_EXACT_READS 2

/* Opens the recording that `source` holds for reading, as edfopen_file_readonly (flags 0) or
 * edfopen_file_readonly_tolerant (EDF_OPEN_TOLERANT) opens a file: the same checks, the same
 * header record, annotations and problems, the same handle rules (except the in-use test).
 * The library copies *source; the callbacks and what `user` points at must stay usable until
 * release is called. `name` (may be null) names the recording where a path would; it is never
 * opened.
 * The size decides as a file's size does (the file must hold exactly the header and the
 * records). When the size is unknown, the header's record count is trusted (a count of -1
 * is refused with EDF_ERR_FORMAT, as for a file whose size cannot be learned) and a read that
 * falls short before the records end fails.
 * Returns 0 with hdr->handle the new handle, or -1 with hdr->handle -1 and the code in
 * hdr->filetype (the rest of *hdr zero): the codes of edfopen_file_readonly, and
 * EDF_ERR_CANNOT_OPEN for a null source or read_at or unknown flag bits; EDF_ERR_READ when a
 * read of the source fails, or falls short before the size it gave, at any point of the open.
 * A null hdr gives -1. In every failure release has been called before it returns, and
 * nothing is held. Never reads past the header and the records that the open mode needs. */
EDF_API int edfopen_source_readonly(const struct edf_source *source, const char *name,
                                    struct edf_header_info *hdr, int annotation_mode, int flags);

/* Opens the `size` bytes at `data` (an EDF, EDF+, BDF or BDF+ file as stored) for reading, as
 * edfopen_source_readonly does for a source of that size. The library keeps no copy: the bytes
 * must stay unchanged and in place until the handle is closed. Returns as
 * edfopen_source_readonly does; EDF_ERR_CANNOT_OPEN for null data or a negative size. */
EDF_API int edfopen_memory_readonly(const void *data, int64_t size, struct edf_header_info *hdr,
                                    int annotation_mode, int flags);

/* Checks the recording that `source` holds as edf_check_file checks a file (the same list,
 * the same counts and results), then calls release. Returns the number of problems, or
 * EDF_ERR_CANNOT_OPEN (null source or read_at), EDF_ERR_NO_MEMORY, EDF_ERR_READ (a read
 * failed, or fell short before the size given or, the size unknown, before the records that
 * the header counts end); -1 for a negative capacity or null problems with a positive one
 * (release is called then too). Takes no handle and keeps nothing. */
EDF_API int edf_check_source(const struct edf_source *source, struct edf_problem *problems,
                             int capacity);

/* Collects the annotations of an open reader's EDF+ or BDF+ recording in `annotation_mode`
 * (EDF_READ_*), as the open in that mode does: reads the annotation signals of every data
 * record (the first one only in EDF_READ_NO_ANNOTATIONS), checks them under the open's policy
 * (strict, or tolerant for a handle opened tolerantly, whose problems of the annotation
 * signals are then listed anew) and makes them the handle's list, in place of the one it had.
 * So a handle opened in EDF_READ_NO_ANNOTATIONS, which read the header and the first record
 * only, gets its annotations when they are wanted; calling it again reads them again.
 * Returns the new annotation count (edf_get_annotation takes n below it; hdr->annotation_count
 * of the open is not changed), 0 for EDF and BDF files; -1 for a handle that is not a reader's;
 * EDF_ERR_ANNOTATION_MODE; EDF_ERR_NO_MEMORY; EDF_ERR_READ when a read fails or the file ends
 * early; EDF_ERR_FORMAT when the annotation signals break the format (strict handles). On
 * failure the handle keeps the list, problems and time axis that it had. Never moves read
 * positions. */
EDF_API int edf_read_annotations(int handle, int annotation_mode);

/* Writes to `out_path` a repaired copy of the file at `path` that conforms to the format: the
 * strict open accepts it, or, for a discontinuous file (EDF+D, BDF+D), which stays
 * discontinuous with its gaps as they were, the tolerant open finds nothing in it but the
 * discontinuity. The header fields that the tolerant open repairs are rewritten (texts outside
 * printable ASCII transliterated to ASCII by the writer's rule: well-formed UTF-8 per
 * character, "µV" as "uV" and "Jörg Müller" as "Jorg Muller", anything else byte by byte as
 * Latin-1), the record count is set, an incomplete last record is left out, annotation lists
 * that break a rule are dropped (a missing or wrong time-keeping annotation is written anew;
 * annotations that a wrong one held stay, with the onset they were read with), annotation
 * texts that are not UTF-8 are converted from Latin-1 to UTF-8 (transliterated to ASCII
 * instead when their annotation signal has no room for the longer form), and the records of a
 * discontinuous file whose time is unknown are left out, as the tolerant open leaves them out
 * of the time axis (the annotations they hold, which have times of their own, go into the same
 * annotation signal of the next record copied). Annotations that no longer fit their own
 * annotation signal (a time-keeping annotation written anew may be longer than the one it
 * replaces) move on in the same way, in order, after the next record's own. So the copy holds
 * every annotation that the tolerant open reads; one that would find no room before the end
 * is not written (EDF_ERR_FORMAT, below). The data bytes of the records copied are copied
 * unchanged. Lists up
 * to `capacity` problems in `problems` as edf_check_file does, and returns their count (the
 * discontinuity included: a file whose problems are all EDF_PROBLEM_CONFORMS, or none, is
 * copied byte for byte). Refuses, writing nothing (codes as listed at EDF_ERR_BEING_WRITTEN):
 * a null `path` or `out_path` (EDF_ERR_CANNOT_OPEN), an `out_path` that names the same file
 * as `path`, even through another path, or that is open in this process
 * (EDF_ERR_ALREADY_OPEN), one that exists unless `overwrite` is non-zero
 * (EDF_ERR_OUTPUT_EXISTS), one that another program is writing (EDF_ERR_BEING_WRITTEN: an
 * existing output is emptied only once its in-use mark is taken), a file with a fatal problem
 * (its code), and a file of the header alone (EDF_ERR_FORMAT: the strict open reads no file
 * without records). Returns EDF_ERR_CANNOT_OPEN when the file cannot be opened or the output
 * cannot be created, EDF_ERR_READ when reading fails, EDF_ERR_WRITE when writing the output
 * fails, and EDF_ERR_FORMAT when a repair cannot be written in place (an annotation signal too
 * small to hold a time-keeping annotation, or annotations that find no room in the records
 * copied: such a copy would lose them, and none is written): the copy is checked before the
 * call returns, and a partial or non-conforming output is removed (unless it is a device, such
 * as /dev/null).
 * Never changes the file at `path`. (edf_continuous_copy writes a continuous copy of an
 * EDF+D file, its gaps filled and marked.) */
EDF_API int edf_repair_file(const char *path, const char *out_path, int overwrite,
                            struct edf_problem *problems, int capacity);

/* Writes to `out_path` a continuous EDF+ (from EDF, EDF+ or EDF+D) or BDF+ (from BDF, BDF+ or
 * BDF+D) copy of the file at `path`, for programs that cannot read EDF+D/BDF+D. The file is
 * read as edfopen_file_readonly_tolerant reads it, with its true time axis (records of unknown
 * time left out). Every gap is filled with samples of physical value 0 (clipped into the
 * signal's digital range) and marked by one annotation "gap" whose onset and duration are the
 * gap's; the samples are copied digitally exact, and the file's own annotations keep their
 * onsets (cut to whole microseconds) and texts (cut to the writer's 40 bytes). The copy's
 * records are as long as the largest duration that divides the record duration and every
 * segment start (a gap of 0.25 s in a file of 1-second records gives records of 0.25 s), so
 * that every gap is a whole number of records; the header keeps the identification, start,
 * labels, units, filters and limits of the file. A continuous file is copied in the same way,
 * without gaps.
 *
 * The copy is written to a new file beside `out_path` (its name + ".copying-" and six
 * characters), synced, and renamed over `out_path`: `out_path` holds either what it held
 * before or the whole copy, and only a killed process leaves the temporary file. An existing
 * `out_path` is replaced only when `overwrite` is non-zero, and only once its in-use mark is
 * taken (see edfopen_file_writeonly), which is held until it is replaced; a link is followed
 * (the file it names is replaced). A device or a pipe given as `out_path` (/dev/null, say) is
 * written directly.
 *
 * Returns 0 on success. Refuses, writing nothing (codes as listed at EDF_ERR_BEING_WRITTEN): a
 * null `path` or `out_path` (EDF_ERR_CANNOT_OPEN); an `out_path` that names the same file as
 * `path`, even through another path, or that is open in this process (EDF_ERR_ALREADY_OPEN);
 * an existing `out_path` without `overwrite` (EDF_ERR_OUTPUT_EXISTS); one that another program
 * is writing (EDF_ERR_BEING_WRITTEN); a file that the tolerant open refuses (its code, in
 * hdr->filetype there: EDF_ERR_ALREADY_OPEN when `path` is open in this process); and
 * EDF_ERR_NO_CONTINUOUS_FORM for a file without ordinary signals, with records of no duration,
 * with a gap that is not a whole number of every signal's sample periods (the copy would shift
 * times), or with more annotations than 64 annotation signals hold in the copy's records.
 * Returns EDF_ERR_CANNOT_OPEN when the file cannot be opened or the output cannot be created,
 * EDF_ERR_READ when reading fails, EDF_ERR_WRITE when writing, syncing or renaming the copy
 * fails (also when the writer runs out of memory while it writes a record or completes the
 * copy: its plain failure result names neither), EDF_ERR_NO_MEMORY when another allocation
 * fails, and EDF_ERR_FORMAT when the writer
 * refuses a value of the file's header. On every failure the temporary file is removed and
 * `out_path` is left as it was. Never changes the file at `path`; keeps no handle open. */
EDF_API int edf_continuous_copy(const char *path, const char *out_path, int overwrite);

/* ---- Both modes ----------------------------------------------------------------------- */

/* Releases the handle. A reader's: 0. A writer's file is completed first: the header is
 * written when no sample write ever succeeded; a file without a complete record but with
 * queued annotations gets one full record per annotation (each sample 0, clipped into the
 * signal's range); the record count replaces the header's "-1" (the sample
 * writers refuse a record beyond 99999999, so the count always fits); the queued annotations
 * still missing are stored (see edfwrite_annotation_utf8_us); and a record left partly written
 * is cut off, so that header, layout and file size agree.
 *
 * Returns 0; -1 for a bad handle (nothing changes: closing twice gives -1); the header
 * writer's code when the header cannot be written (the file stays empty); -1 when completing
 * the file failed: patching the count, flushing, cutting or closing, a file shorter than its
 * records, or a first record begun but never completed with no annotation queued (which
 * leaves a file without any record); EDF_ERR_ANNOTATIONS_LOST (-28) when everything else was
 * written but a queued annotation is not in the file (no room left, or its write failed). In
 * every case but a bad handle the handle is released and may be handed out again.
 *
 * Threads: safe beside calls on other handles; no other call on this handle may overlap it,
 * nor follow it (the handle number may already name another thread's file). */
EDF_API int edfclose_file(int handle);

/* ---- Error texts ---------------------------------------------------------------------- */

/* A fixed English description of an error code that the library returns: the codes of the
 * opening operations (-1 to -11, also delivered in edf_header_info.filetype), those of the
 * header writer (-20 to -27), EDF_ERR_ANNOTATIONS_LOST (-28) of close, those of
 * edf_anonymize_file (-30, -31) and those of the operations on whole files (-32 to -34;
 * EDF_ERR_BEING_WRITTEN gives "another program is writing it", to follow the file's name).
 * Any other value gives "unknown error". The text is static: never free or change it. */
EDF_API const char *edf_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif /* RECORDING_EDF_H */
