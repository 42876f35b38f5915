// The modes of edfinfo over many files: the report, --json, --check, --repair OUTDIR and
// --recover, each file's work mapped by a pool of threads (--jobs) and printed in the order of
// the files, with a progress line on a terminal.
#pragma once

#include "command_line.h"
#include "file_list.h"

// Runs the mode of `options` on every file. The exit status is 0 when every file succeeded
// (for --check: conformed), 1 when any failed, and a list or directory that could not be read
// counts as a failure too.
int run_many(const inspector_options &options, const input_files &inputs);

// Where --repair writes the copy of a file: `out` itself for a single file, unless it is a
// directory; otherwise the file's output name under the directory `out`.
std::string repair_target(const std::string &out, const input_file &file, bool many);
