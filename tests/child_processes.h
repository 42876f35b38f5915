// Tests that need another process: a program run with its output read through pipes, and a
// call made in a child process whose files cannot grow past a given size, which makes every
// write beyond it fail as on a full disk while the files below it stay writable. (On Windows
// programs are run alike, through CreateProcessW; there are no file size limits.)
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <thread>
#include <windows.h>
#include <shellapi.h>
#else
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace child_processes {

struct program_result {
    int status = -1; // the exit status, -1 when the program did not exit by itself
    std::string out;
    std::string err;
};

#ifdef _WIN32

inline std::wstring widen(const std::string &utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// One argument of a command line as the C runtime's parser reads it back: quoted, with the
// backslashes before a quote doubled.
inline std::wstring quoted(const std::wstring &argument) {
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, L'\\');
    return text + L"\"";
}

// A program given by a path of the build machine ("/work/build/edfinfo.exe") names a file of
// this process's current drive: made absolute here, so that it does not depend on the
// child's directory.
inline std::wstring program_path(const std::string &program) {
    return std::filesystem::absolute(std::filesystem::path(widen(program))).wstring();
}

inline std::string read_all(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    return text;
}

// A child program with pipes for its standard input, output and error (the error may go to
// this process's own instead).
class child_program {
  public:
    child_program() = default;
    child_program(const child_program &) = delete;
    child_program &operator=(const child_program &) = delete;
    ~child_program() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            wait();
        }
        close_input();
        close_handle(out_);
        close_handle(err_);
    }

    bool start(const std::string &program, const std::vector<std::string> &arguments,
               const std::string &directory, bool capture_err = true) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE in_read = nullptr;
        HANDLE out_write = nullptr;
        HANDLE err_write = nullptr;
        if (!CreatePipe(&in_read, &in_, &inherit, 0) ||
            !CreatePipe(&out_, &out_write, &inherit, 0) ||
            (capture_err && !CreatePipe(&err_, &err_write, &inherit, 0))) {
            return false;
        }
        SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        if (capture_err) {
            SetHandleInformation(err_, HANDLE_FLAG_INHERIT, 0);
        } else {
            err_write = GetStdHandle(STD_ERROR_HANDLE);
        }
        const std::wstring path = program_path(program);
        std::wstring line = quoted(path);
        for (const std::string &a : arguments) {
            line += L" " + quoted(widen(a));
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        PROCESS_INFORMATION info{};
        const std::wstring wide_directory = widen(directory);
        const bool started =
            CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           wide_directory.empty() ? nullptr : wide_directory.c_str(), &startup,
                           &info) != 0;
        CloseHandle(in_read);
        CloseHandle(out_write);
        if (capture_err) {
            CloseHandle(err_write);
        }
        if (!started) {
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        return true;
    }

    // One byte of the child's standard output; false at its end.
    bool read_byte(char &byte) {
        DWORD n = 0;
        return ReadFile(out_, &byte, 1, &n, nullptr) && n == 1;
    }
    std::string read_out() {
        return read_all(out_);
    }
    // The output and the error, read together until the child closes both.
    void read_out_and_err(std::string &out, std::string &err) {
        std::thread error_reader([&] { err = read_all(err_); });
        out = read_all(out_);
        error_reader.join();
    }
    bool write_input(const std::string &bytes) {
        DWORD n = 0;
        return WriteFile(in_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
               n == bytes.size();
    }
    bool write_byte(char byte) {
        DWORD n = 0;
        return WriteFile(in_, &byte, 1, &n, nullptr) && n == 1;
    }
    void close_input() {
        close_handle(in_);
    }
    // Ends the child at once, as a crash would.
    bool terminate() {
        return TerminateProcess(process_, 99) != 0;
    }
    // Its exit code, once it has ended (-1 when it could not be had).
    long wait() {
        DWORD code = 0;
        const bool ok = WaitForSingleObject(process_, INFINITE) == WAIT_OBJECT_0 &&
                        GetExitCodeProcess(process_, &code);
        CloseHandle(process_);
        process_ = nullptr;
        return ok ? static_cast<long>(code) : -1;
    }

  private:
    static void close_handle(HANDLE &h) {
        if (h != nullptr) {
            CloseHandle(h);
            h = nullptr;
        }
    }
    HANDLE process_ = nullptr;
    HANDLE in_ = nullptr;
    HANDLE out_ = nullptr;
    HANDLE err_ = nullptr;
};

// Runs `program` with `arguments` in `directory`, standard output and standard error read
// through pipes. There is nothing to set up in the child on Windows: `setup` must be empty.
inline program_result run_program(const std::string &program,
                                  const std::vector<std::string> &arguments,
                                  const std::string &directory,
                                  const std::function<void()> &setup = {}) {
    program_result result;
    child_program child;
    if (setup || !child.start(program, arguments, directory)) {
        result.err = setup ? "no setup in a child on Windows" : "the program did not start";
        return result;
    }
    child.close_input();
    child.read_out_and_err(result.out, result.err);
    result.status = static_cast<int>(child.wait());
    return result;
}

#else

// Makes writes at or beyond `bytes` into any file fail (EFBIG) in this process and the
// programs it starts, instead of raising SIGXFSZ.
inline void limit_file_size(long long bytes) {
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);
}

// Runs `program` with `arguments` in `directory`, standard output and standard error read
// through pipes (not files, so that a file size limit does not touch them). `setup` runs in
// the child before the program starts (a umask, a file size limit).
inline program_result run_program(const std::string &program,
                                  const std::vector<std::string> &arguments,
                                  const std::string &directory,
                                  const std::function<void()> &setup = {}) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    program_result result;
    if (pipe(out) != 0 || pipe(err) != 0) {
        return result;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        close(out[0]);
        close(err[0]);
        if (setup) {
            setup();
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pollfd ends[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&result.out, &result.err};
    for (int open_ends = 2; open_ends > 0;) {
        if (poll(ends, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (ends[i].fd < 0 || ends[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(ends[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(ends[i].fd);
                ends[i].fd = -1;
                open_ends--;
            }
        }
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

// Makes `call` in a child process whose files cannot grow past `limit` bytes, and returns
// its result (INT32_MIN when the child did not report one).
inline int in_child_with_file_limit(long long limit, const std::function<int()> &call) {
    int ends[2];
    if (pipe(ends) != 0) {
        return INT32_MIN;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        limit_file_size(limit);
        const int result = call();
        _exit(write(ends[1], &result, sizeof result) == sizeof result ? 0 : 1);
    }
    close(ends[1]);
    int result = INT32_MIN;
    if (read(ends[0], &result, sizeof result) != sizeof result) {
        result = INT32_MIN;
    }
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

#endif

} // namespace child_processes

#ifdef _WIN32
// Windows has no fork: a test's child process is this test program started again with
// "--child-role=NAME" and arguments, which runs the role registered under NAME (from a static
// initializer, before the tests' main) instead of the tests. Its standard input and output
// are pipes to the test, as file descriptors 0 and 1, in binary mode.
namespace child_processes {

inline std::string narrow(const wchar_t *wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
    return text;
}

// Runs `role` and ends the process with its result when this process was started as `name`;
// returns false otherwise.
inline bool child_role(const char *name, int (*role)(const std::vector<std::string> &)) {
    int count = 0;
    wchar_t **words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr) {
        return false;
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < count; i++) {
        arguments.push_back(narrow(words[i]));
    }
    LocalFree(words);
    if (arguments.empty() || arguments[0] != std::string("--child-role=") + name) {
        return false;
    }
    arguments.erase(arguments.begin());
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    std::_Exit(role(arguments));
}

// Starts this program as the child `name`.
inline bool start_child_role(child_program &child, const char *name,
                             const std::vector<std::string> &arguments) {
    wchar_t self[32768];
    const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    if (n == 0 || n >= 32768) {
        return false;
    }
    std::vector<std::string> all = {std::string("--child-role=") + name};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return child.start(narrow(self), all, "", false);
}

} // namespace child_processes
#endif
