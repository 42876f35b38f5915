// A writer killed at a random moment, with annotations streaming in, leaves a file that
// recovery turns into one the strict open accepts, holding every record and every annotation
// that the writer had reported as done (and possibly a little more, written just before the
// kill, but never anything else).
#include "child_processes.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

struct layout {
    bool bdf;
    int annotation_signals;
    int position;
    int subsecond_ticks;
    bool annotations_ahead;   // more annotations per record than places, or fewer
    std::vector<int> samples; // per signal and record
};

int sample(int64_t record, int signal, int i) {
    return static_cast<int>((record * 31 + signal * 7919 + i * 17) % 2000) - 1000;
}

// Annotation i of the stream: onsets and texts that identify it.
int64_t onset_us(int64_t i) {
    return i * 137000 + i % 7;
}
std::string text(int64_t i) {
    return "event " + std::to_string(i);
}

// The child: writes records and queues annotations until it is killed; after each completed
// record it sends 'R', after each queued annotation 'A'.
[[noreturn]] void write_until_killed(const std::string &path, const layout &c, int done) {
    const int ns = static_cast<int>(c.samples.size());
    const int h = edfopen_file_writeonly(path.c_str(),
                                         c.bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, ns);
    if (h < 0 || edf_set_number_of_annotation_signals(h, c.annotation_signals) != 0 ||
        edf_set_annotation_signal_position(h, c.position) != 0 ||
        edf_set_subsecond_starttime(h, c.subsecond_ticks) != 0 ||
        edf_set_startdatetime(h, 2021, 3, 4, 5, 6, 7) != 0) {
        _exit(1);
    }
    for (int s = 0; s < ns; s++) {
        edf_set_samplefrequency(h, s, c.samples[static_cast<size_t>(s)]);
        edf_set_digital_maximum(h, s, 1000);
        edf_set_digital_minimum(h, s, -1000);
        edf_set_physical_maximum(h, s, 1.0);
        edf_set_physical_minimum(h, s, -1.0);
    }
    int64_t queued = 0;
    auto queue = [&] {
        if (edfwrite_annotation_utf8_us(h, onset_us(queued), -1, text(queued).c_str()) != 0 ||
            write(done, "A", 1) != 1) {
            _exit(1);
        }
        queued++;
    };
    std::vector<int> values;
    for (int64_t r = 0; r < 1000000; r++) {
        for (int s = 0; s < ns; s++) {
            values.resize(static_cast<size_t>(c.samples[static_cast<size_t>(s)]));
            for (size_t i = 0; i < values.size(); i++) {
                values[i] = sample(r, s, static_cast<int>(i));
            }
            if (edfwrite_digital_samples(h, values.data()) != 0) {
                _exit(1);
            }
            // Ahead: A + 1 annotations per record, queued between the signals, so that many
            // wait for records still to come. Behind: one every second record, written into a
            // record that is complete already.
            if (c.annotations_ahead ? s == 0 : (s == ns - 1 && r % 2 == 1)) {
                for (int k = 0; k < (c.annotations_ahead ? c.annotation_signals + 1 : 1); k++) {
                    queue();
                }
            }
        }
        if (write(done, "R", 1) != 1) {
            _exit(1);
        }
    }
    _exit(0);
}

#ifdef _WIN32
// The layout as the writer's arguments: path, bdf, annotation signals, position, subsecond
// ticks, annotations ahead, then the samples of each signal.
std::vector<std::string> writer_arguments(const std::string &path, const layout &c) {
    std::vector<std::string> a = {path,
                                  std::to_string(c.bdf),
                                  std::to_string(c.annotation_signals),
                                  std::to_string(c.position),
                                  std::to_string(c.subsecond_ticks),
                                  std::to_string(c.annotations_ahead)};
    for (const int n : c.samples) {
        a.push_back(std::to_string(n));
    }
    return a;
}

const bool writer_role =
    child_processes::child_role("crash-writer", [](const std::vector<std::string> &a) -> int {
        layout c;
        c.bdf = a.at(1) == "1";
        c.annotation_signals = std::stoi(a.at(2));
        c.position = std::stoi(a.at(3));
        c.subsecond_ticks = std::stoi(a.at(4));
        c.annotations_ahead = a.at(5) == "1";
        for (size_t i = 6; i < a.size(); i++) {
            c.samples.push_back(std::stoi(a[i]));
        }
        write_until_killed(a.at(0), c, 1);
    });
#endif

} // namespace

TEST(CrashRecovery, KilledWriterIsRecoveredWithEverythingReportedDone) {
    close_all_handles guard;
    temp_dir dir;
    std::mt19937 random(12);
    static edf_header_info hdr;
    for (int run = 0; run < 50; run++) {
        layout c;
        c.bdf = run % 4 >= 2;
        c.annotation_signals = run % 2 == 0 ? 1 : 3;
        c.position = static_cast<int>(random() % 3);
        c.subsecond_ticks = run % 5 == 0 ? 1234567 : 0;
        c.annotations_ahead = run % 3 != 0;
        for (int s = 0, ns = 1 + static_cast<int>(random() % 3); s < ns; s++) {
            c.samples.push_back(1 + static_cast<int>(random() % 300));
        }
        const std::string path = dir.file("run" + std::to_string(run) + ".edf");
        SCOPED_TRACE("run " + std::to_string(run));

        int64_t records_done = 0;
        int64_t annotations_done = 0;
#ifdef _WIN32
        // The writer is killed with TerminateProcess. A process starts slowly (under wine
        // above all): the random moment is counted from the writer's first report.
        child_processes::child_program writer;
        ASSERT_TRUE(
            child_processes::start_child_role(writer, "crash-writer", writer_arguments(path, c)));
        char first = 0;
        ASSERT_TRUE(writer.read_byte(first)) << "the writer failed";
        (first == 'R' ? records_done : annotations_done)++;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        ASSERT_TRUE(writer.terminate());
        ASSERT_EQ(writer.wait(), 99) << "the writer ended by itself";
        for (const char b : writer.read_out()) {
            (b == 'R' ? records_done : annotations_done)++;
        }
#else
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_ends[0]);
            write_until_killed(path, c, pipe_ends[1]);
        }
        close(pipe_ends[1]);
        usleep(static_cast<useconds_t>(random() % 15000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
        char buffer[4096];
        for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            ASSERT_GT(n, 0);
            for (ssize_t i = 0; i < n; i++) {
                (buffer[i] == 'R' ? records_done : annotations_done)++;
            }
        }
        close(pipe_ends[0]);
#endif

        const int recovered = edf_recover_file(path.c_str());
        if (records_done == 0) {
            continue; // killed before the first record: perhaps not even a header
        }
        ASSERT_GE(recovered, records_done);
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), &hdr, EDF_READ_ALL_ANNOTATIONS), 0);
        const int64_t records = hdr.datarecord_count;
        EXPECT_EQ(records, recovered);
        EXPECT_EQ(hdr.start_subsecond, c.subsecond_ticks);
        for (int s = 0; s < static_cast<int>(c.samples.size()); s++) {
            const int per_record = c.samples[static_cast<size_t>(s)];
            std::vector<int> read(static_cast<size_t>(records * per_record));
            ASSERT_EQ(
                edfread_digital_samples(hdr.handle, s, static_cast<int>(read.size()), read.data()),
                static_cast<int>(read.size()));
            for (size_t i = 0; i < read.size(); i++) {
                ASSERT_EQ(read[i], sample(static_cast<int64_t>(i) / per_record, s,
                                          static_cast<int>(i % static_cast<size_t>(per_record))))
                    << "signal " << s << " sample " << i;
            }
        }
        // The annotations are a prefix of the stream: all that were reported done and whose
        // places lie in the records on disk, perhaps more, never beyond the places.
        const int64_t places = records * c.annotation_signals;
        EXPECT_GE(hdr.annotation_count, std::min(annotations_done, places));
        EXPECT_LE(hdr.annotation_count, places);
        for (int64_t i = 0; i < hdr.annotation_count; i++) {
            edf_annotation a;
            ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(i), &a), 0);
            ASSERT_EQ(a.onset, onset_us(i) * 10) << i;
            ASSERT_EQ(std::string(a.annotation), text(i));
        }
        EXPECT_EQ(edfclose_file(hdr.handle), 0);
        std::remove(path.c_str());
    }
}
