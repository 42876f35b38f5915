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
EDF_API int edfwrite_digital_short_samples(int handle, short *buf);
EDF_API int edf_blockwrite_physical_samples(int handle, const double *buf);
EDF_API int edf_blockwrite_digital_samples(int handle, const int *buf);
EDF_API int edf_blockwrite_digital_short_samples(int handle, short *buf);
EDF_API int edf_blockwrite_digital_24bit_samples(int handle, const void *buf);

/* Annotations are queued and stored in the file when it is closed. The _us operations take
 * microseconds, the others units of 100 microseconds; a negative duration means "none". */
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

/* ---- Problems, checking and the tolerant open ------------------------------------------ */

/* What the tolerant open does about a problem (edf_problem.action). */
#define EDF_PROBLEM_REPAIRED 1 /* the tolerant open reads past it, as the message says */
#define EDF_PROBLEM_FATAL 2    /* nothing can be read past it: the tolerant open fails too */

/* One way in which a file breaks the format. The texts are NUL-terminated. */
struct edf_problem {
    int64_t offset;    /* byte offset in the file of the offending field or bytes, -1 for the
                          file as a whole */
    int32_t signal;    /* header signal index (annotation signals counted), or -1 */
    int64_t record;    /* data record index, or -1 */
    int32_t code;      /* the code that the strict open gives for this problem (EDF_ERR_FORMAT,
                          EDF_ERR_READ, EDF_ERR_DISCONTINUOUS) */
    int32_t action;    /* EDF_PROBLEM_REPAIRED or EDF_PROBLEM_FATAL */
    char field[33];    /* the header field or part of the file, such as "number of data records",
                          "physical minimum", "start date", "annotation", "time-keeping
                          annotation", "incomplete data record" */
    char found[81];    /* the offending bytes: printable ASCII as it stands, other bytes as \xNN,
                          cut to 80 characters */
    char message[241]; /* the rule that is broken and what the tolerant open does about it, in
                          one English sentence */
};

/* Checks the file at `path` without opening it for reading: reports every problem of the
 * header and of the annotation signals of every data record, in the order in which the strict
 * open meets them (the fixed header, the signal header field by field, the identification
 * subfields, the file size, then the records), and copies the first `capacity` of them to
 * `problems` (which may be null when capacity is 0). A fatal problem ends the check: what
 * follows it cannot be located. Returns the number of problems (0: the file conforms; the
 * count can exceed capacity), or a negative open code (EDF_ERR_CANNOT_OPEN for a path that is
 * null, missing or a directory, EDF_ERR_NO_MEMORY, EDF_ERR_READ when a read fails) when the
 * file cannot be checked at all; -1 for a negative capacity or null problems with a positive
 * one. It returns 0 exactly when edfopen_file_readonly in mode EDF_READ_ALL_ANNOTATIONS
 * accepts the file (or refuses it only for a reason that is not the file's: no free handle,
 * already open, no memory), and the first problem carries the code that that open returns.
 * It takes no handle, never changes the file and keeps nothing after it returns. */
EDF_API int edf_check_file(const char *path, struct edf_problem *problems, int capacity);

/* Opens a file for reading as edfopen_file_readonly does (same arguments, same header record,
 * same handle rules), but reads past every problem that can be repaired without guessing
 * where the samples are, and keeps the list of problems with the handle. For a file that the
 * strict open accepts, it gives exactly the same header, samples and annotations, and no
 * problem. Repairs (each one listed as an EDF_PROBLEM_REPAIRED problem): a record count that
 * is missing or does not match the file size (the complete records are read, an incomplete
 * last record is ignored); header texts outside printable ASCII (taken as Latin-1 and handed
 * out as UTF-8, cut on a character boundary to the field's room); start dates and times with
 * other separators, one-digit parts or month names (unreadable ones become 01.01.85 and
 * 00.00.00); EDF+ identification fields outside the subfield grammar (kept whole in `patient`
 * and `recording`, subfields empty); junk in the reserved field; "EDF+C" or "BDF+C" without an
 * annotation signal (read as plain EDF or BDF); equal physical or equal digital limits (read
 * with physical = digital, limits reported as the digital range); number fields with
 * surrounding junk or a decimal comma, where the number is unambiguous; fields of annotation
 * signals that must be blank or fixed; annotation lists (TALs) that break a rule (skipped,
 * the rest of the record kept); time-keeping annotations that are missing or wrong (the
 * record's time comes from the header). Fatal, the open fails with the strict code: an
 * unknown version, a header shorter than it declares, a signal count or header size that does
 * not add up, unreadable or out-of-range numbers, a record size beyond the limits, no complete
 * record, and discontinuous (EDF+D, BDF+D) files. Returns 0 or -1 as edfopen_file_readonly
 * does, with the code in hdr->filetype. */
EDF_API int edfopen_file_readonly_tolerant(const char *path, struct edf_header_info *hdr,
                                           int read_annotations);

/* The number of problems that the open of `handle` repaired: 0 for a file opened strictly or
 * one that conforms; -1 for a handle that is not open for reading. */
EDF_API int edf_get_problem_count(int handle);

/* Copies problem n (0 to count - 1, in the order of edf_check_file) of the open of `handle`
 * into *problem. Returns 0, or -1 (record cleared when not null) for a bad handle, n or null
 * record. */
EDF_API int edf_get_problem(int handle, int n, struct edf_problem *problem);

/* Writes to `out_path` a repaired copy of the file at `path`, which the strict open accepts:
 * the header fields that the tolerant open repairs are rewritten, the record count is set,
 * an incomplete last record is left out, and annotation lists that break a rule are dropped
 * (a missing or wrong time-keeping annotation is written anew). The data bytes of the complete
 * records are copied unchanged. Lists up to `capacity` problems repaired in `problems` as
 * edf_check_file does, and returns their count (0: the file conformed and the copy is
 * identical). Refuses, writing nothing: an `out_path` that exists unless `overwrite` is
 * non-zero (EDF_ERR_ALREADY_OPEN), one that names the same file as `path`, even through
 * another path (EDF_ERR_ALREADY_OPEN), and a file with a fatal problem (its code). Returns
 * EDF_ERR_CANNOT_OPEN when the output cannot be created, EDF_ERR_READ when reading or
 * writing fails, and EDF_ERR_FORMAT when a repair cannot be written in place (an annotation
 * signal too small to hold a time-keeping annotation): the copy is checked before the call
 * returns, and a partial or non-conforming output is removed. Never changes the file at
 * `path`. */
EDF_API int edf_repair_file(const char *path, const char *out_path, int overwrite,
                            struct edf_problem *problems, int capacity);

/* ---- Both modes ----------------------------------------------------------------------- */

EDF_API int edfclose_file(int handle);

/* ---- Error texts ---------------------------------------------------------------------- */

/* A fixed English description of an error code that the library returns: the codes of the
 * opening operations (-1 to -11, also delivered in edf_header_info.filetype) and those of the
 * header writer (-20 to -27). Any other value gives "unknown error". The text is static:
 * never free or change it. */
EDF_API const char *edf_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif /* RECORDING_EDF_H */
