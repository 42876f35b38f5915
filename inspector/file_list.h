// The files that a command line names: files as given, directories searched (recursively) for
// .edf and .bdf files in any case, and @LIST files of paths, one a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct input_file {
    std::string path;
    // Its name under an output directory (--repair OUTDIR, --anonymize --output OUTDIR): the
    // path below the directory searched for a file found there, else the file's own name.
    std::string output_name;
    // What the search found of it (stat, links followed): whether it exists, and its size in
    // bytes and time of last change in nanoseconds since 1970 when it does.
    bool exists = false;
    int64_t size = 0;
    int64_t mtime = 0;
};

struct input_files {
    std::vector<input_file> files;
    // True unless the command line named exactly one path that is neither a directory nor a
    // list: the modes then print one line or one JSON object per file and a summary.
    bool many = false;
    // A list or a directory that could not be read, with the reason, one text each (the files
    // found elsewhere are still listed).
    std::vector<std::string> failures;
};

// Expands the paths in the order given; a directory's files come in the order of their
// paths, and a file named twice (under the same path, or as the same file through another
// name) is listed once, where it first came. "@-" reads the list from standard input. Blank
// lines of a list are skipped; its paths are taken as they stand (relative ones from the
// current directory), and may name directories too. A path that does not exist is listed, so
// that its failure is reported with those of the other files.
input_files expand_inputs(const std::vector<std::string> &arguments);

// The most files worked on at once: each file's work holds up to two of the library's
// EDF_MAX_FILES (64) handles at a time.
constexpr int max_jobs = 32;

// The number of files to work on at once when --jobs is not given: the number of cores (at
// most max_jobs).
int default_jobs();
