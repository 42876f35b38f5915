// The command line of edfinfo: what to do, with which files, signal and time window.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class inspector_action {
    help,            // --help: print the usage text
    text_report,     // the default: a readable report of the header and the annotations
    json_report,     // --json: the same as one JSON document
    samples_csv,     // --samples N: one signal's physical samples as CSV
    plot_svg,        // --plot N --svg OUT: one signal's window drawn as an SVG picture
    continuous_copy, // --continuous OUT: a continuous EDF+C/BDF+C copy with the gaps filled
    recover,         // --recover: the record count and length of a file whose writer died
    check,           // --check [--json]: every problem of the file, text or JSON
    repair,          // --repair OUT [--force]: a repaired copy written to OUT
    index,           // --index DB: the files' catalogue in an SQLite database
};

struct inspector_options {
    inspector_action action = inspector_action::text_report;
    std::vector<std::string> paths; // files, directories and @LIST files, as given
    std::string path;               // the first of them
    int signal = -1;
    std::string svg_path;
    std::string continuous_path;
    bool json = false;       // --json (with --check: the problems as JSON)
    std::string repair_path; // --repair OUT
    bool force = false;      // --force: --repair may replace an existing OUT
    std::string index_path;  // --index DB
    int jobs = 0;            // --jobs N: files worked on at once; 0: one per core
    std::optional<double> from_seconds;
    std::optional<double> to_seconds;
};

struct parsed_command_line {
    bool ok = false;
    std::string error; // why the command line was refused, when ok is false
    inspector_options options;
};

// Reads the arguments after the program name. Options and the file names may come in any
// order; "--name value" and "--name=value" are both accepted, and "--" ends the options.
// --samples, --plot and --continuous take one file; the other modes take many.
parsed_command_line parse_command_line(int argc, const char *const *argv);

// The usage text, several lines, each ending in a newline.
const char *inspector_usage();
