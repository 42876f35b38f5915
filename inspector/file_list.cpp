// Expanding the command line's paths into the files to work on.
#include "file_list.h"

#include "http_source.h"

#include "utf8_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

// Whether a directory entry's name ends in .edf or .bdf, in any case (a name that is only
// the extension, ".edf", has none).
bool has_recording_extension(const char *name) {
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr || dot == name || std::strlen(dot) != 4) {
        return false;
    }
    const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    return (lower(dot[1]) == 'e' || lower(dot[1]) == 'b') && lower(dot[2]) == 'd' &&
           lower(dot[3]) == 'f';
}

// A file found by the search, with what stat (links followed) said of it.
struct found_file {
    std::string below; // its path relative to the directory searched
    bool has_status = false;
    struct stat status {};
};

// The search of a directory tree, one descriptor per level: each name is looked up in its
// own directory (fstatat), not along the whole path again, and a file's stat is taken once,
// here. Links to directories are not followed; links to files are files. Directories that may
// not be read are skipped; any other failure ends the search (`error`), keeping what was found.
class directory_search {
  public:
    explicit directory_search(std::vector<found_file> &found) : found_(found) {}

    // Searches the directory open as `fd` (which it closes), `below` being its path relative
    // to the top with a separator at its end (or empty). False when the search must end.
    bool search(int fd, const std::string &below) {
        DIR *directory = ::fdopendir(fd);
        if (directory == nullptr) {
            error = std::error_code(errno, std::generic_category());
            ::close(fd);
            return false;
        }
        bool go_on = true;
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(directory);
            if (entry == nullptr) {
                if (errno != 0) {
                    error = std::error_code(errno, std::generic_category());
                    go_on = false;
                }
                break;
            }
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) {
                continue;
            }
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat own {};
                if (::fstatat(::dirfd(directory), name, &own, AT_SYMLINK_NOFOLLOW) != 0) {
                    continue;
                }
                type = S_ISDIR(own.st_mode)   ? DT_DIR
                       : S_ISLNK(own.st_mode) ? DT_LNK
                       : S_ISREG(own.st_mode) ? DT_REG
                                              : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                const int sub = ::openat(::dirfd(directory), name,
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0 && (errno == EACCES || errno == EPERM)) {
                    continue;
                }
                if (sub < 0) {
                    error = std::error_code(errno, std::generic_category());
                    go_on = false;
                    break;
                }
                if (!search(sub, below + name + '/')) {
                    go_on = false;
                    break;
                }
                continue;
            }
            if ((type != DT_REG && type != DT_LNK) || !has_recording_extension(name)) {
                continue;
            }
            found_file file;
            file.has_status = ::fstatat(::dirfd(directory), name, &file.status, 0) == 0;
            if (type == DT_LNK && (!file.has_status || !S_ISREG(file.status.st_mode))) {
                continue; // a link to no file, or to something else
            }
            file.below = below + name;
            found_.push_back(std::move(file));
        }
        ::closedir(directory);
        return go_on;
    }

    std::error_code error;

  private:
    std::vector<found_file> &found_;
};

// The text that a directory's files' paths start with: the directory's, with a separator.
std::string directory_prefix(const std::string &directory) {
    return directory.empty() || directory.back() == '/' ? directory : directory + '/';
}

class expansion {
  public:
    explicit expansion(input_files &result) : result_(result) {}

    void add_file(const std::string &path, const std::string &output_name) {
        struct stat status {};
        const bool found = ::stat(path.c_str(), &status) == 0;
        add_file(path, output_name, found ? &status : nullptr);
    }

    // Adds a file with what stat said of it (null when stat failed for it).
    void add_file(const std::string &path, const std::string &output_name,
                  const struct stat *found) {
        // The same file under another name (./a.edf, a link) is the same file: its identity
        // decides, where it has one.
        input_file file{path, output_name};
        if (found != nullptr) {
            const struct stat &status = *found;
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
        std::vector<found_file> found;
        directory_search walk(found);
        const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            walk.search(fd, "");
        } else if (errno != EACCES && errno != EPERM) {
            walk.error = std::error_code(errno, std::generic_category());
        }
        if (walk.error) {
            result_.failures.push_back("cannot search the directory '" +
                                       display_text(directory.string()) +
                                       "': " + walk.error.message());
        }
        // In the order of paths component by component (what std::filesystem::path's
        // comparison gives): with each separator made a NUL byte, which no name holds, the
        // texts' own order ("a/b" before "a-b").
        std::vector<std::size_t> order(found.size());
        for (std::size_t i = 0; i < found.size(); i++) {
            std::replace(found[i].below.begin(), found[i].below.end(), '/', '\0');
            order[i] = i;
        }
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return found[a].below < found[b].below; });
        const std::string top = directory_prefix(directory.native());
        for (const std::size_t i : order) {
            found_file &file = found[i];
            std::replace(file.below.begin(), file.below.end(), '\0', '/');
            add_file(top + file.below, file.below, file.has_status ? &file.status : nullptr);
        }
    }

    void add_path(const std::string &path) {
        std::error_code error;
        if (is_remote_url(path)) {
            // A remote recording, taken as it stands: named after its last path component.
            std::string name = path.substr(0, path.find_first_of("?#"));
            name = name.substr(name.find_last_of('/') + 1);
            input_file file{path, name.empty() ? std::string("remote.edf") : name};
            file.exists = true;
            result_.files.push_back(std::move(file));
            return;
        }
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
