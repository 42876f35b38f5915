// Argument parsing for edfinfo. Every refusal names its reason, so that the usage text that
// follows it on standard error is not the only hint.
#include "command_line.h"

#include "number_text.h"
#include "svg_plot.h"

#include "file_list.h"

#include <utility>

namespace {

parsed_command_line refuse(std::string reason) {
    parsed_command_line result;
    result.error = std::move(reason);
    return result;
}

bool takes_value(const std::string &name) {
    return name == "--samples" || name == "--plot" || name == "--svg" || name == "--from" ||
           name == "--to" || name == "--continuous" || name == "--repair" || name == "--index" ||
           name == "--jobs";
}

} // namespace

const char *inspector_usage() {
    return "usage: edfinfo [--json] FILE...\n"
           "       edfinfo --samples N [--from SECONDS] [--to SECONDS] FILE\n"
           "       edfinfo --plot N --svg OUT.svg [--from SECONDS] [--to SECONDS] FILE\n"
           "       edfinfo --continuous OUT FILE\n"
           "       edfinfo --anonymize ... FILE...   (edfinfo --anonymize --help)\n"
           "       edfinfo --recover FILE...\n"
           "       edfinfo --check [--json] FILE...\n"
           "       edfinfo --repair OUT [--force] FILE...\n"
           "       edfinfo --index DB FILE...\n"
           "       edfinfo --help\n"
           "\n"
           "  FILE               an EDF, EDF+, BDF or BDF+ file; where FILE... is allowed, also\n"
           "                     a directory (searched for .edf and .bdf files, in any case and\n"
           "                     in its subdirectories) or @LIST, a file of paths, one a line\n"
           "                     (@- reads them from standard input)\n"
           "  --json             print the report as one JSON document\n"
           "  --samples N        print the physical samples of signal N as CSV (time,value)\n"
           "  --plot N           draw signal N as an SVG picture into the file given by --svg\n"
           "  --svg OUT.svg      the picture file to write for --plot\n"
           "  --continuous OUT   write a continuous EDF+/BDF+ copy of an EDF+D/BDF+D file, its\n"
           "                     gaps filled with 0 and each marked by an annotation \"gap\"\n"
           "  --from SECONDS     start of the time window (default: the start of the file)\n"
           "  --to SECONDS       end of the time window (default: the end of the file)\n"
           "  --recover          mend, in place, a file whose writer died before closing it:\n"
           "                     set the record count from the complete records and cut a\n"
           "                     partial record off (prints what it does first); a file with\n"
           "                     any other problem, or one that another program is still\n"
           "                     writing, is left as it is (see --repair)\n"
           "  --check            list every way in which FILE breaks the format, and say when\n"
           "                     it is discontinuous (exit status 0 when it conforms, as an\n"
           "                     EDF+D/BDF+D file does, 1 when it does not)\n"
           "  --repair OUT       write to OUT a copy of FILE with every repair applied (with\n"
           "                     many files, or when OUT is a directory: into OUT, each copy\n"
           "                     under its own name, or its path below the directory given)\n"
           "  --force            let --repair replace an existing OUT\n"
           "  --index DB         write the files' catalogue into the SQLite database DB (made\n"
           "                     when missing); files whose size and time of change are those\n"
           "                     of the catalogue are not read again, files that are gone are\n"
           "                     dropped\n"
           "  --jobs N           work on N files at once, 1 to 32 (default: one per core)\n"
           "\n"
           "With many files, --check prints one line per file (--json: one JSON object per\n"
           "line) and a summary, --json one report per line; one file that fails does not stop\n"
           "the others, and the exit status is 1 when any failed (--check: did not conform).\n"
           "A file that breaks the format is opened tolerantly where that is safe: the report\n"
           "then lists the problems and what was done about them.\n"
           "Signals are numbered from 0 among the ordinary signals (annotation signals are\n"
           "not counted); times are seconds from the start of the recording.\n";
}

parsed_command_line parse_command_line(int argc, const char *const *argv) {
    parsed_command_line result;
    inspector_options &options = result.options;
    bool json = false;
    bool recover = false;
    bool check = false;
    bool have_repair = false;
    std::optional<int> samples_signal;
    std::optional<int> plot_signal;
    bool have_svg = false;
    bool options_ended = false;

    for (int i = 0; i < argc; i++) {
        const std::string argument = argv[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            options.paths.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.action = inspector_action::help;
            result.ok = true;
            return result;
        }
        if (argument == "--json") {
            json = true;
            continue;
        }
        if (argument == "--recover") {
            recover = true;
            continue;
        }
        if (argument == "--check") {
            check = true;
            continue;
        }
        if (argument == "--force") {
            options.force = true;
            continue;
        }

        std::string name = argument;
        std::string value;
        const std::size_t equals = argument.find('=');
        if (equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        if (!takes_value(name)) {
            return refuse("unknown option '" + argument + "'");
        }
        if (equals == std::string::npos) {
            if (i + 1 >= argc) {
                return refuse("option " + name + " needs a value");
            }
            value = argv[++i];
        }

        if (name == "--samples" || name == "--plot") {
            const std::optional<int> signal = parse_index(value);
            if (!signal) {
                return refuse("option " + name + " needs a signal number, not '" + value + "'");
            }
            (name == "--samples" ? samples_signal : plot_signal) = *signal;
        } else if (name == "--continuous") {
            if (value.empty()) {
                return refuse("option --continuous needs a file name");
            }
            options.continuous_path = value;
        } else if (name == "--repair") {
            if (value.empty()) {
                return refuse("option --repair needs a file name");
            }
            options.repair_path = value;
            have_repair = true;
        } else if (name == "--index") {
            if (value.empty()) {
                return refuse("option --index needs a file name");
            }
            options.index_path = value;
        } else if (name == "--jobs") {
            const std::optional<int> jobs = parse_index(value);
            if (!jobs || *jobs < 1 || *jobs > max_jobs) {
                return refuse("option --jobs needs a number of files from 1 to " +
                              std::to_string(max_jobs) + ", not '" + value + "'");
            }
            options.jobs = *jobs;
        } else if (name == "--svg") {
            if (value.empty()) {
                return refuse("option --svg needs a file name");
            }
            options.svg_path = value;
            have_svg = true;
        } else {
            const std::optional<double> seconds = parse_decimal(value);
            if (!seconds || *seconds < 0.0) {
                return refuse("option " + name + " needs a number of seconds, not '" + value + "'");
            }
            (name == "--from" ? options.from_seconds : options.to_seconds) = *seconds;
        }
    }

    if (options.paths.empty()) {
        return refuse("no file given");
    }
    options.path = options.paths.front();
    const bool continuous = !options.continuous_path.empty();
    const bool index = !options.index_path.empty();
    if (int(check) + int(have_repair) + int(json) + int(samples_signal.has_value()) +
            int(plot_signal.has_value()) + int(continuous) + int(recover) + int(index) >
        1 + int(json && check)) {
        return refuse("--check, --repair, --json, --samples, --plot, --continuous, --recover and "
                      "--index exclude each other (--json goes with the report or --check)");
    }
    if ((samples_signal || plot_signal || continuous) &&
        (options.paths.size() > 1 || options.path.front() == '@')) {
        return refuse("--samples, --plot and --continuous take one file");
    }
    if (options.force && !have_repair) {
        return refuse("--force belongs to --repair");
    }
    if (plot_signal && !have_svg) {
        return refuse("--plot needs --svg OUT.svg");
    }
    if (have_svg && !plot_signal) {
        return refuse("--svg belongs to --plot");
    }
    if ((options.from_seconds || options.to_seconds) && !samples_signal && !plot_signal) {
        return refuse("--from and --to belong to --samples or --plot");
    }
    if (options.from_seconds && options.to_seconds &&
        !(*options.from_seconds < *options.to_seconds)) {
        return refuse("--from must be below --to");
    }

    // A plot needs room to draw: a window shorter than one tick has no time axis to speak of.
    // (Half a tick is the limit, so that the rounding of decimal texts such as 0.1000001 - 0.1
    // does not refuse a window of one tick.)
    if (plot_signal && options.to_seconds &&
        *options.to_seconds - options.from_seconds.value_or(0.0) < shortest_plot_seconds / 2) {
        return refuse("the plot window from --from to --to must be at least 0.0000001 s long");
    }

    options.json = json;
    if (index) {
        options.action = inspector_action::index;
    } else if (recover) {
        options.action = inspector_action::recover;
    } else if (check) {
        options.action = inspector_action::check;
    } else if (have_repair) {
        options.action = inspector_action::repair;
    } else if (samples_signal) {
        options.action = inspector_action::samples_csv;
        options.signal = *samples_signal;
    } else if (plot_signal) {
        options.action = inspector_action::plot_svg;
        options.signal = *plot_signal;
    } else if (continuous) {
        options.action = inspector_action::continuous_copy;
    } else if (json) {
        options.action = inspector_action::json_report;
    }
    result.ok = true;
    return result;
}
