// edfinfo --index DB PATH...: the catalogue of a corpus in an SQLite database, with the
// schema that the Python module's recording.corpus.index writes too (catalogue.sql, compiled
// into edfinfo).
#pragma once

#include "command_line.h"
#include "file_list.h"

// Writes or updates the catalogue `options.index_path` for the files: a file whose size and
// time of change are those of its row is kept as it is; the others are read (on
// `options.jobs` threads) and their rows replaced, by one writer, the calling thread, in
// transactions; the rows of files that no longer exist are dropped. Prints how many files it
// read, kept and dropped. Exit status 0, or 1 when the database cannot be written (what was
// committed stays) or a file could not be indexed (it is listed on standard error).
int run_index(const inspector_options &options, const input_files &inputs);

// The schema (catalogue.sql).
const char *catalogue_schema();
