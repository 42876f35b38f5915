// Many files: a per-file function that never throws, mapped over the files by the pool, and
// the results printed in input order by the calling thread, which alone writes to the
// terminal.
#include "many_files.h"

#include "captured_output.h"
#include "file_modes.h"
#include "file_pool.h"
#include "problem_report.h"
#include "progress_line.h"
#include "utf8_text.h"
#include "json_string.h"
#include "native_path.h"

#include "recording/edf.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int exit_failure = 1;

// A per-file function's failure that is not the library's: no memory, say.
file_output unexpected_failure(const std::string &path, const char *what) {
    file_output output;
    output.ok = false;
    output.err = "edfinfo: " + quoted_name(path) + ": " + what + "\n";
    return output;
}

// The pretty JSON document of one file as one line. The writers put no line break inside a
// string (they escape control characters), so every break and the indentation after it go.
std::string one_line(const std::string &document) {
    std::string line;
    line.reserve(document.size());
    for (std::size_t i = 0; i < document.size(); i++) {
        if (document[i] == '\n') {
            while (i + 1 < document.size() && document[i + 1] == ' ') {
                i++;
            }
            continue;
        }
        line += document[i];
    }
    return line + "\n";
}

// What the check found in one file, for its line and the summary.
struct checked_file {
    file_output output;
    std::string status; // "conforming", "repaired-readable" or "unreadable"
    bool checked = false;
    std::vector<std::string> fields; // the fields of its problems that break the format, once
};

checked_file check_one(const std::string &path, bool json) {
    checked_file result;
    int code = 0;
    std::string failure;
    const std::vector<edf_problem> problems = checked_problems(path, &code, &failure);
    result.checked = code >= 0;
    result.status = result.checked ? conformance(problems) : "unreadable";
    for (const edf_problem &p : format_breaks(problems)) {
        if (std::find(result.fields.begin(), result.fields.end(), p.field) == result.fields.end()) {
            result.fields.push_back(p.field);
        }
    }
    const std::string error = result.checked ? "" : failure;
    if (json) {
        result.output.out = "{\"file\": " + json_quoted(path) +
                            ", \"status\": " + json_quoted(result.status) +
                            ", \"error\": " + (result.checked ? "null" : json_quoted(error)) +
                            ", \"problems\": " + problems_json_line(problems) + "}\n";
    } else {
        std::string line = display_text(path) + ": " + result.status;
        if (!result.checked) {
            line += ": cannot check: " + error;
        } else if (result.status == "conforming") {
            const edf_problem *note = discontinuity_note(problems);
            if (note != nullptr) {
                line += ", discontinuous (" + display_text(note->found) + ")";
            }
        } else {
            const std::size_t count = format_breaks(problems).size();
            line += ", " + std::to_string(count) + (count == 1 ? " problem: " : " problems: ");
            for (std::size_t n = 0; n < result.fields.size(); n++) {
                line += (n == 0 ? "" : ", ") + display_text(result.fields[n]);
            }
        }
        result.output.out = line + "\n";
    }
    result.output.ok = result.status == "conforming";
    return result;
}

int run_check_many(const inspector_options &options, const input_files &inputs, int failures) {
    const std::vector<input_file> &files = inputs.files;
    std::map<std::string, std::size_t> counts; // status -> files
    std::size_t not_checked = 0;
    std::map<std::string, std::size_t> by_field; // field -> files with it
    progress_line progress(files.size(), true);
    map_in_order<checked_file>(
        files.size(), options.jobs,
        [&](std::size_t i) {
            try {
                return check_one(files[i].path, options.json);
            } catch (const std::exception &e) {
                checked_file failed;
                failed.output = unexpected_failure(files[i].path, e.what());
                failed.status = "unreadable";
                return failed;
            }
        },
        [&](std::size_t, checked_file &&result) {
            progress.clear();
            print_file_output(result.output);
            counts[result.status]++;
            not_checked += result.checked ? 0 : 1;
            for (const std::string &field : result.fields) {
                by_field[field]++;
            }
            failures += result.output.ok ? 0 : 1;
            progress.step();
        });
    progress.finish();
    // The summary: on standard output after the lines, or on standard error when standard
    // output carries JSON lines.
    std::FILE *out = options.json ? stderr : stdout;
    std::fflush(stdout);
    std::fprintf(out, "%zu file%s: %zu conforming, %zu repaired-readable, %zu unreadable",
                 files.size(), files.size() == 1 ? "" : "s", counts["conforming"],
                 counts["repaired-readable"], counts["unreadable"]);
    std::fprintf(out, not_checked > 0 ? " (%zu could not be checked)\n" : "\n", not_checked);
    if (!by_field.empty()) {
        std::vector<std::pair<std::string, std::size_t>> fields(by_field.begin(), by_field.end());
        std::stable_sort(fields.begin(), fields.end(),
                         [](const auto &a, const auto &b) { return a.second > b.second; });
        std::size_t width = 0;
        for (const auto &f : fields) {
            width = std::max(width, f.first.size());
        }
        std::fprintf(out, "Problems by field (files):\n");
        for (const auto &f : fields) {
            std::fprintf(out, "  %-*s  %zu\n", static_cast<int>(width),
                         display_text(f.first).c_str(), f.second);
        }
    }
    return failures == 0 ? 0 : exit_failure;
}

} // namespace

std::string repair_target(const std::string &out, const input_file &file, bool many) {
    std::error_code error;
    if (!many && !fs::is_directory(native_path(out), error)) {
        return out;
    }
    return joined_path(out, file.output_name);
}

int run_many(const inspector_options &options, const input_files &inputs) {
    for (const std::string &failure : inputs.failures) {
        std::fprintf(stderr, "edfinfo: %s\n", failure.c_str());
    }
    const int list_failures = static_cast<int>(inputs.failures.size());
    if (options.action == inspector_action::check) {
        return run_check_many(options, inputs, list_failures);
    }
    int failures = 0;
    const std::vector<input_file> &files = inputs.files;
    // --repair: the directory, and each file's copy; two files may not share a copy.
    std::vector<std::string> targets;
    std::vector<std::string> clashes(files.size());
    if (options.action == inspector_action::repair) {
        std::error_code error;
        fs::create_directories(native_path(options.repair_path), error);
        if (!fs::is_directory(native_path(options.repair_path))) {
            std::fprintf(stderr, "edfinfo: cannot make the directory %s: %s\n",
                         quoted_name(options.repair_path).c_str(), error.message().c_str());
            return exit_failure;
        }
        std::map<std::string, std::size_t> first_with;
        for (std::size_t i = 0; i < files.size(); i++) {
            targets.push_back(repair_target(options.repair_path, files[i], true));
            const auto found = first_with.emplace(targets[i], i);
            if (!found.second) {
                clashes[i] = "will not write " + quoted_name(targets[i]) + ": it is the copy of " +
                             quoted_name(files[found.first->second].path);
            }
        }
    }
    progress_line progress(files.size(), true);
    bool reported = false; // a text report printed: the next one after a blank line
    map_in_order<file_output>(
        files.size(), options.jobs,
        [&](std::size_t i) {
            const std::string &path = files[i].path;
            try {
                captured_output captured;
                const output_streams streams{captured.out(), captured.err()};
                int status = 0;
                switch (options.action) {
                case inspector_action::recover:
                    status = recover_file(path, streams);
                    break;
                case inspector_action::repair:
                    if (!clashes[i].empty()) {
                        status = file_failure(streams, clashes[i]);
                        break;
                    }
                    fs::create_directories(native_path(targets[i]).parent_path());
                    status = repair_file(path, targets[i], options.force, streams);
                    break;
                default:
                    status = report_file(options, path, streams);
                    break;
                }
                file_output output = captured.take(status == 0);
                if (options.action == inspector_action::json_report && !output.out.empty()) {
                    output.out = one_line(output.out);
                }
                return output;
            } catch (const std::exception &e) {
                return unexpected_failure(path, e.what());
            }
        },
        [&](std::size_t, file_output &&output) {
            progress.clear();
            if (options.action == inspector_action::text_report && !output.out.empty()) {
                if (reported) {
                    std::fputc('\n', stdout);
                }
                reported = true;
            }
            print_file_output(output);
            failures += output.ok ? 0 : 1;
            progress.step();
        });
    progress.finish();
    if (failures > 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "edfinfo: %d of %zu file%s failed\n", failures, files.size(),
                     files.size() == 1 ? "" : "s");
    }
    return failures + list_failures == 0 ? 0 : exit_failure;
}
