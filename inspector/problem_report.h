// The one printer of problems (from edf_check_file, the tolerant open or a repair): a line per
// problem as text, or a JSON array of objects with the problem record's field names.
#pragma once

#include "recording/edf.h"

#include <cstdio>
#include <string>
#include <vector>

// One line per problem: offset, field, signal and record, what the tolerant open does
// (repaired, fatal, or conforms for a discontinuous file), the bytes found, then the message.
// Each line starts with `indent`.
void write_problem_lines(std::FILE *out, const std::vector<edf_problem> &problems,
                         const char *indent);

// The problems as a JSON array; lines after the first start with `indent`.
std::string problems_json(const std::vector<edf_problem> &problems, const std::string &indent);

// The same on one line, for a run over many files that prints one JSON object per file.
std::string problems_json_line(const std::vector<edf_problem> &problems);

// What the check says of a file that it could check: "conforming" (every problem is the note
// that the file is discontinuous, or there is none), "repaired-readable" (the tolerant open
// reads past every problem) or "unreadable" (a fatal problem).
const char *conformance(const std::vector<edf_problem> &problems);

// Every problem that edf_check_file finds in the file (edf_check_source, through range
// requests, for an http:// or https:// URL); an empty list and *code < 0 when the file cannot
// be checked, with the reason in *failure when it is given (the failed request's, or the
// library's text for the code).
std::vector<edf_problem> checked_problems(const std::string &path, int *code,
                                          std::string *failure = nullptr);

// The problems that break the format: all but the note that a file is discontinuous
// (EDF_PROBLEM_CONFORMS), which the format allows.
std::vector<edf_problem> format_breaks(const std::vector<edf_problem> &problems);

// The note of a discontinuous file among the problems, or null.
const edf_problem *discontinuity_note(const std::vector<edf_problem> &problems);
