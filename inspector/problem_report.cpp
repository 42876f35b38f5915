// Problems as text and as JSON. Their texts come from the library and are plain ASCII; they
// still pass through the same escaping as every text from a file.
#include "problem_report.h"

#include "http_source.h"
#include "json_string.h"
#include "utf8_text.h"

#include <algorithm>

namespace {

std::string index_text(int64_t value) {
    return value < 0 ? std::string("-") : std::to_string(value);
}

const char *action_text(int action) {
    switch (action) {
    case EDF_PROBLEM_FATAL:
        return "fatal";
    case EDF_PROBLEM_CONFORMS:
        return "conforms";
    default:
        return "repaired";
    }
}

} // namespace

void write_problem_lines(std::FILE *out, const std::vector<edf_problem> &problems,
                         const char *indent) {
    for (const edf_problem &p : problems) {
        std::fprintf(out, "%soffset %s, %s, signal %s, record %s, %s, found \"%s\": %s\n", indent,
                     index_text(p.offset).c_str(), display_text(p.field).c_str(),
                     index_text(p.signal).c_str(), index_text(p.record).c_str(),
                     action_text(p.action), display_text(p.found).c_str(),
                     display_text(p.message).c_str());
    }
}

std::string problem_json(const edf_problem &p) {
    return "{\"offset\": " + std::to_string(p.offset) +
           ", \"signal\": " + std::to_string(p.signal) +
           ", \"record\": " + std::to_string(p.record) + ", \"code\": " + std::to_string(p.code) +
           ", \"action\": " + std::to_string(p.action) + ", \"field\": " + json_quoted(p.field) +
           ", \"found\": " + json_quoted(p.found) + ", \"message\": " + json_quoted(p.message) +
           "}";
}

std::string problems_json(const std::vector<edf_problem> &problems, const std::string &indent) {
    std::string out = "[";
    for (size_t n = 0; n < problems.size(); n++) {
        out += (n == 0 ? "\n" : ",\n") + indent + "  " + problem_json(problems[n]);
    }
    out += problems.empty() ? "]" : "\n" + indent + "]";
    return out;
}

std::string problems_json_line(const std::vector<edf_problem> &problems) {
    std::string out = "[";
    for (size_t n = 0; n < problems.size(); n++) {
        out += (n == 0 ? "" : ", ") + problem_json(problems[n]);
    }
    return out + "]";
}

const char *conformance(const std::vector<edf_problem> &problems) {
    bool conforming = true;
    for (const edf_problem &p : problems) {
        if (p.action == EDF_PROBLEM_FATAL) {
            return "unreadable";
        }
        conforming = conforming && p.action == EDF_PROBLEM_CONFORMS;
    }
    return conforming ? "conforming" : "repaired-readable";
}

namespace {

// The check of a remote recording, with room for many problems at once so that the
// recording is read once (twice only for a file with more problems than that).
std::vector<edf_problem> checked_remote_problems(const std::string &url, int *code,
                                                 std::string *failure) {
    std::vector<edf_problem> problems(1024);
    for (int pass = 0; pass < 2; pass++) {
        http_source remote(url);
        if (!remote.open()) {
            *code = EDF_ERR_CANNOT_OPEN;
        } else {
            const edf_source source = remote.source();
            *code = edf_check_source(&source, problems.data(), static_cast<int>(problems.size()));
        }
        if (*code < 0 && failure != nullptr) {
            *failure = remote.error().empty() ? edf_error_text(*code) : remote.error();
        }
        if (*code <= static_cast<int>(problems.size())) {
            break;
        }
        problems.resize(static_cast<size_t>(*code));
    }
    problems.resize(static_cast<size_t>(std::clamp(*code, 0, static_cast<int>(problems.size()))));
    return problems;
}

} // namespace

std::vector<edf_problem> checked_problems(const std::string &path, int *code,
                                          std::string *failure) {
    if (is_remote_url(path)) {
        return checked_remote_problems(path, code, failure);
    }
    std::vector<edf_problem> problems;
    int count = edf_check_file(path.c_str(), nullptr, 0);
    if (count > 0) {
        problems.resize(static_cast<size_t>(count));
        count = edf_check_file(path.c_str(), problems.data(), count);
        problems.resize(static_cast<size_t>(count > 0 ? count : 0));
    }
    *code = count;
    if (count < 0 && failure != nullptr) {
        *failure = edf_error_text(count);
    }
    return problems;
}

std::vector<edf_problem> format_breaks(const std::vector<edf_problem> &problems) {
    std::vector<edf_problem> breaks;
    for (const edf_problem &p : problems) {
        if (p.action != EDF_PROBLEM_CONFORMS) {
            breaks.push_back(p);
        }
    }
    return breaks;
}

const edf_problem *discontinuity_note(const std::vector<edf_problem> &problems) {
    for (const edf_problem &p : problems) {
        if (p.action == EDF_PROBLEM_CONFORMS) {
            return &p;
        }
    }
    return nullptr;
}
