// Expanding the command line's paths into the files to work on.
#include "file_list.h"

#include "http_source.h"

#include "native_path.h"
#include "utf8_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// What the system says of a file (links followed): its identity (device and inode, or the
// volume serial number and file index on Windows), whether it is a directory, its size and
// its time of last change in nanoseconds since 1970.
struct file_facts {
    std::pair<uint64_t, uint64_t> identity{};
    bool is_directory = false;
    int64_t size = 0;
    int64_t mtime = 0;
};

#ifdef _WIN32
bool facts_of(const std::string &path, file_facts &facts) {
    const HANDLE handle = CreateFileW(native_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool ok = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (!ok) {
        return false;
    }
    facts.identity = {information.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                          information.nFileIndexLow};
    facts.is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.size = static_cast<int64_t>((static_cast<uint64_t>(information.nFileSizeHigh) << 32) |
                                      information.nFileSizeLow);
    // FILETIME: 100 ns steps since 1601.
    const uint64_t ticks =
        (static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
        information.ftLastWriteTime.dwLowDateTime;
    facts.mtime = (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
    return true;
}
#else
file_facts facts_from(const struct stat &status) {
    file_facts facts;
    facts.identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
    facts.is_directory = S_ISDIR(status.st_mode);
    facts.size = static_cast<int64_t>(status.st_size);
    facts.mtime = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return facts;
}

bool facts_of(const std::string &path, file_facts &facts) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return false;
    }
    facts = facts_from(status);
    return true;
}
#endif

// A file found by the search, with what the system (links followed) said of it.
struct found_file {
    std::string below; // its path relative to the directory searched
    bool has_status = false;
    file_facts status;
};

#ifdef _WIN32
// The search of a directory tree through std::filesystem (wide names, as UTF-8 text here).
// Links to directories are not followed; links to files are files. Directories that may not
// be read are skipped; any other failure ends the search (`error`), keeping what was found.
class directory_search {
  public:
    explicit directory_search(std::vector<found_file> &found) : found_(found) {}

    // Searches `folder`, `below` being its path relative to the top with a separator at its
    // end (or empty). False when the search must end.
    bool search(const fs::path &folder, const std::string &below) {
        std::error_code failure;
        fs::directory_iterator entries(folder, fs::directory_options::skip_permission_denied,
                                       failure);
        if (failure) {
            if (failure == std::errc::permission_denied) {
                return true;
            }
            error = failure;
            return false;
        }
        for (const fs::directory_iterator end; entries != end; entries.increment(failure)) {
            if (failure) {
                error = failure;
                return false;
            }
            const fs::directory_entry &entry = *entries;
            const std::string name = path_text(entry.path().filename());
            std::error_code ignored;
            const fs::file_type type = entry.symlink_status(ignored).type();
            if (type == fs::file_type::directory) {
                if (!search(entry.path(), below + name + '/')) {
                    return false;
                }
                continue;
            }
            if ((type != fs::file_type::regular && type != fs::file_type::symlink) ||
                !has_recording_extension(name.c_str())) {
                continue;
            }
            found_file file;
            file.has_status = facts_of(path_text(entry.path()), file.status);
            if (type == fs::file_type::symlink && (!file.has_status || file.status.is_directory)) {
                continue; // a link to no file, or to a directory
            }
            file.below = below + name;
            found_.push_back(std::move(file));
        }
        if (failure) {
            error = failure;
            return false;
        }
        return true;
    }

    std::error_code error;

  private:
    std::vector<found_file> &found_;
};
#else

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
            struct stat status {};
            file.has_status = ::fstatat(::dirfd(directory), name, &status, 0) == 0;
            if (file.has_status) {
                file.status = facts_from(status);
            }
            if (type == DT_LNK && (!file.has_status || !S_ISREG(status.st_mode))) {
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
#endif

// The text that a directory's files' paths start with: the directory's, with a separator.
std::string directory_prefix(const std::string &directory) {
    return directory.empty() || directory.back() == '/' ? directory : directory + '/';
}

class expansion {
  public:
    explicit expansion(input_files &result) : result_(result) {}

    void add_file(const std::string &path, const std::string &output_name) {
        file_facts facts;
        const bool found = facts_of(path, facts);
        add_file(path, output_name, found ? &facts : nullptr);
    }

    // Adds a file with what the system said of it (null when it found nothing).
    void add_file(const std::string &path, const std::string &output_name,
                  const file_facts *found) {
        // The same file under another name (./a.edf, a link) is the same file: its identity
        // decides, where it has one.
        input_file file{path, output_name};
        if (found != nullptr) {
            if (!identities_.insert(found->identity).second) {
                return;
            }
            file.exists = !found->is_directory;
            file.size = found->size;
            file.mtime = found->mtime;
        } else if (!missing_.insert(path).second) {
            return;
        }
        result_.files.push_back(std::move(file));
    }

    void add_directory(const std::string &directory) {
        std::vector<found_file> found;
        directory_search walk(found);
#ifdef _WIN32
        walk.search(native_path(directory), "");
#else
        const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            walk.search(fd, "");
        } else if (errno != EACCES && errno != EPERM) {
            walk.error = std::error_code(errno, std::generic_category());
        }
#endif
        if (walk.error) {
            result_.failures.push_back("cannot search the directory '" + display_text(directory) +
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
        const std::string top = directory_prefix(directory);
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
        if (fs::is_directory(native_path(path), error)) {
            add_directory(path);
        } else {
            add_file(path, path_text(native_path(path).filename()));
        }
    }

    void add_list(const std::string &name) {
        std::ifstream file;
        std::istream *in = &std::cin;
        if (name != "-") {
            file.open(native_path(name));
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
    std::set<std::pair<uint64_t, uint64_t>> identities_;
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
            only_plain_file = only_plain_file && !fs::is_directory(native_path(argument), error);
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
