// The report as one JSON document.
#pragma once

#include "recording/edf.h"

#include <cstdio>
#include <string>

// Writes the document; false when an annotation could not be fetched.
bool write_json_report(std::FILE *out, const std::string &path, const edf_header_info &header);
