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

/* ---- Reading whole records ------------------------------------------------------------ */

/* Reads the samples of data records first_record to first_record + record_count - 1 of the
 * listed ordinary signals, in one pass over the file with large reads: the fast way to read
 * a whole recording, or a stretch of it, at once.
 *
 * signals: signal_count (1 or more) ordinary signal numbers, 0 to ordinary_signal_count - 1,
 * in any order; a number may repeat. bufs: signal_count buffers; bufs[i] receives the
 * samples of signals[i] in time order, samples_per_record × (records read) values, so it
 * must have room for samples_per_record × record_count of them. Values are exactly those
 * that edfread_physical_samples / edfread_digital_samples give for the same samples
 * (clamped to the digital range; physical = (digital + offset) × bit value).
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
