// The readable report of a file: type, start, duration, identification, signals, annotations.
#pragma once

#include "recording/edf.h"

#include <cstdio>
#include <string>
#include <vector>

// Writes the report, ending in a "Problems" section when the file was opened tolerantly;
// false when an annotation could not be fetched.
bool write_text_report(std::FILE *out, const std::string &path, const edf_header_info &header,
                       const std::vector<edf_problem> &problems = {});
