// Tests that need another process: a program run with its output read through pipes, and a
// call made in a child process whose files cannot grow past a given size, which makes every
// write beyond it fail as on a full disk while the files below it stay writable.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace child_processes {

// Makes writes at or beyond `bytes` into any file fail (EFBIG) in this process and the
// programs it starts, instead of raising SIGXFSZ.
inline void limit_file_size(long long bytes) {
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);
}

struct program_result {
    int status = -1; // the exit status, -1 when the program did not exit by itself
    std::string out;
    std::string err;
};

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

} // namespace child_processes
