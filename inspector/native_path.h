// Paths as edfinfo holds them, UTF-8 text (as the library takes them), and as the system's
// calls take them: on Windows std::filesystem and the C runtime's narrow calls read a narrow
// text in the ANSI code page, so paths go to them as wide text.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <cwchar>
#endif

// The path that UTF-8 `text` names.
inline std::filesystem::path native_path(const std::string &text) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
    return std::filesystem::path(text);
#endif
}

// A path as UTF-8 text.
inline std::string path_text(const std::filesystem::path &path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

// `name` below `folder`, joined with "/" on every system (Windows takes it too), so that
// reports name files alike everywhere.
inline std::string joined_path(const std::string &folder, const std::string &name) {
    if (folder.empty()) {
        return name;
    }
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + name : folder + '/' + name;
}

// std::fopen of a UTF-8 path.
inline std::FILE *open_c_file(const std::string &path, const char *mode) {
#ifdef _WIN32
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(native_path(path).c_str(), wide_mode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}
