// Nothing written is lost: a writing process that is killed leaves every record it completed
// on disk, byte for byte, because each record is flushed when it completes.
#include "child_processes.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

constexpr int samples = 5;
constexpr int records_before_kill = 20;

// Sample i of signal s in record r: every value distinct within a record and in range.
int sample(int r, int s, int i) {
    return (r * 131 + s * 17 + i * 3) % 60000 - 30000;
}

// The bytes of record r: two 16-bit signals, then the annotation signal with the record's
// time-keeping TAL.
std::string record_bytes(int r) {
    std::string bytes;
    for (int s = 0; s < 2; s++) {
        for (int i = 0; i < samples; i++) {
            const int v = sample(r, s, i);
            bytes += static_cast<char>(v & 0xff);
            bytes += static_cast<char>((v >> 8) & 0xff);
        }
    }
    std::string tal = "+";
    tal += std::to_string(r);
    tal += "\x14\x14";
    tal.resize(120, '\0');
    return bytes + tal;
}

// The child: writes records until it is killed, one byte to `done` after each completed one.
[[noreturn]] void write_until_killed(const std::string &path, int done) {
    const int h = open_configured(path, 2, samples);
    if (h < 0 || edf_set_startdatetime(h, 2020, 1, 2, 3, 4, 5) != 0) {
        _exit(1);
    }
    for (int r = 0; r < 1000000; r++) {
        for (int s = 0; s < 2; s++) {
            int values[samples];
            for (int i = 0; i < samples; i++) {
                values[i] = sample(r, s, i);
            }
            if (edfwrite_digital_samples(h, values) != 0) {
                _exit(1);
            }
        }
        if (write(done, "r", 1) != 1) {
            _exit(1);
        }
    }
    _exit(0);
}

#ifdef _WIN32
// The writer as this program started again; killed with TerminateProcess.
const bool writer_role =
    child_processes::child_role("durable-writer", [](const std::vector<std::string> &a) -> int {
        write_until_killed(a.at(0), 1);
    });
#endif

TEST(RecordDurability, CompletedRecordsSurviveAKilledWriter) {
    temp_dir dir;
    const std::string path = dir.file("killed.edf");
#ifdef _WIN32
    child_processes::child_program writer;
    ASSERT_TRUE(child_processes::start_child_role(writer, "durable-writer", {path}));
    int completed = 0;
    char byte;
    while (completed < records_before_kill && writer.read_byte(byte)) {
        completed++;
    }
    ASSERT_TRUE(writer.terminate());
    ASSERT_EQ(writer.wait(), 99) << "the writer ended by itself";
    ASSERT_EQ(completed, records_before_kill) << "the writer stopped early";
#else
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_ends[0]);
        write_until_killed(path, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    int completed = 0;
    char byte;
    while (completed < records_before_kill && read(pipe_ends[0], &byte, 1) == 1) {
        completed++;
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(pipe_ends[0]);
    ASSERT_EQ(completed, records_before_kill) << "the writer stopped early";
    ASSERT_TRUE(WIFSIGNALED(status));
#endif

    const std::string bytes = file_bytes(path);
    const size_t header = 256 * 4;
    const size_t record_size = 2 * samples * 2 + 120;
    ASSERT_GE(bytes.size(), header + records_before_kill * record_size);
    EXPECT_EQ(bytes.substr(236, 8), "-1      "); // never closed
    const size_t on_disk = (bytes.size() - header) / record_size;
    for (size_t r = 0; r < on_disk; r++) {
        ASSERT_EQ(bytes.substr(header + r * record_size, record_size),
                  record_bytes(static_cast<int>(r)))
            << "record " << r;
    }
}

} // namespace
