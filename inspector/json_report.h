// The report as one JSON document.
#pragma once

#include "recording/edf.h"

#include <cstdio>
#include <string>
#include <vector>

// Writes the document, with a "problems" array when the file was opened tolerantly; false
// when an annotation could not be fetched.
bool write_json_report(std::FILE *out, const std::string &path, const edf_header_info &header,
                       const std::vector<edf_problem> &problems = {});
