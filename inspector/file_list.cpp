// Expanding the command line's paths into the files to work on.
#include "file_list.h"

#include "utf8_text.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

bool has_recording_extension(const fs::path &path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".edf" || extension == ".bdf";
}

class expansion {
  public:
    explicit expansion(input_files &result) : result_(result) {}

    void add_file(const std::string &path, const std::string &output_name) {
        // The same file under another name (./a.edf, a link) is the same file: its identity
        // decides, where it has one.
        struct stat status {};
        input_file file{path, output_name};
        if (::stat(path.c_str(), &status) == 0) {
            if (!identities_.insert({status.st_dev, status.st_ino}).second) {
                return;
            }
            file.exists = !S_ISDIR(status.st_mode);
            file.size = static_cast<int64_t>(status.st_size);
            file.mtime =
                static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
        } else if (!missing_.insert(path).second) {
            return;
        }
        result_.files.push_back(std::move(file));
    }

    void add_directory(const fs::path &directory) {
        std::vector<fs::path> found;
        std::error_code error;
        fs::recursive_directory_iterator walk(directory,
                                              fs::directory_options::skip_permission_denied, error);
        for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            std::error_code type_error;
            if (walk->is_regular_file(type_error) && has_recording_extension(walk->path())) {
                found.push_back(walk->path());
            }
        }
        if (error) {
            result_.failures.push_back("cannot search the directory '" +
                                       display_text(directory.string()) + "': " + error.message());
        }
        std::sort(found.begin(), found.end());
        for (const fs::path &path : found) {
            add_file(path.string(), path.lexically_relative(directory).string());
        }
    }

    void add_path(const std::string &path) {
        std::error_code error;
        if (fs::is_directory(path, error)) {
            add_directory(path);
        } else {
            add_file(path, fs::path(path).filename().string());
        }
    }

    void add_list(const std::string &name) {
        std::ifstream file;
        std::istream *in = &std::cin;
        if (name != "-") {
            file.open(name);
            if (!file) {
                result_.failures.push_back("cannot read the list '" + display_text(name) + "'");
                return;
            }
            in = &file;
        }
        for (std::string line; std::getline(*in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                add_path(line);
            }
        }
        if (in->bad()) {
            result_.failures.push_back("cannot read the list '" + display_text(name) + "'");
        }
    }

  private:
    input_files &result_;
    std::set<std::pair<dev_t, ino_t>> identities_;
    std::set<std::string> missing_;
};

} // namespace

input_files expand_inputs(const std::vector<std::string> &arguments) {
    input_files result;
    expansion expand(result);
    bool only_plain_file = arguments.size() == 1;
    for (const std::string &argument : arguments) {
        std::error_code error;
        if (argument.size() > 1 && argument[0] == '@') {
            expand.add_list(argument.substr(1));
            only_plain_file = false;
        } else {
            only_plain_file = only_plain_file && !fs::is_directory(argument, error);
            expand.add_path(argument);
        }
    }
    result.many = !only_plain_file;
    return result;
}

int default_jobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : std::min(static_cast<int>(cores), max_jobs);
}
