// The modes of edfinfo that work on one file, each printing to the streams it is given: the
// terminal's when one file is named, memory when many are worked on at once (their outputs
// are then printed in the order of the files). Each returns the exit status for its file: 0,
// 1 when the file cannot be opened, read or written (or, for the check, does not conform), 2
// for bad usage (a signal that the file does not have).
#pragma once

#include "command_line.h"

#include <cstdio>
#include <string>

struct output_streams {
    std::FILE *out;
    std::FILE *err;
};

// --recover: says what recovery will do, then does it.
int recover_file(const std::string &path, output_streams streams);

// --check [--json] of a single file: every problem, as lines or as a JSON array.
int check_file(const std::string &path, bool json, output_streams streams);

// --repair OUT: the repaired copy, and the list of what was repaired.
int repair_file(const std::string &path, const std::string &out_path, bool force,
                output_streams streams);

// --continuous OUT: the continuous copy of an EDF+D/BDF+D file, gaps filled and marked.
int continuous_copy_file(const std::string &path, const std::string &out_path,
                         output_streams streams);

// The report (text or JSON), --samples and --plot.
int report_file(const inspector_options &options, const std::string &path, output_streams streams);

// "edfinfo: " and the message on the error stream; returns 1.
int file_failure(output_streams streams, const std::string &message);

// The path as shown in messages: quoted, with control characters made visible.
std::string quoted_name(const std::string &path);
