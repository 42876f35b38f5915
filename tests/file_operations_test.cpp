// The operations on whole files next to a live writer and when things go wrong: a file that
// another program is writing is refused by every operation that would change it (and is whole
// after its writer closes it), a killed writer's file is recovered at once, and each kind of
// failure has one code in recovery, the repaired copy, de-identification and edfinfo's
// continuous copy.
#include "child_processes.h"
#include "test_files.h"

#include "recording/edf.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

constexpr int signals = 2;
constexpr int samples = 50;
constexpr int record_bytes = signals * samples * 2 + 120;
constexpr int header_bytes = 256 * (signals + 2);

int sample(int record, int signal, int i) {
    return record * 1000 + signal * 100 + i;
}

bool write_signal(int handle, int record, int signal) {
    int values[samples];
    for (int i = 0; i < samples; i++) {
        values[i] = sample(record, signal, i);
    }
    return edfwrite_digital_samples(handle, values) == 0;
}

// The writer in a child process: three records, then half of the fourth, which the
// annotations placed into the complete records push to the disk (so recovery would find a
// partial record to cut).
// It reads the file itself (a reader's close in the writing process must not drop the mark),
// reports 'W' and waits for a byte on `go`; then it completes the recording, six records, and
// closes it. Exit status 0 when every call succeeded.
[[noreturn]] void write_live(const std::string &path, int ready, int go) {
    const int h = open_configured(path, signals, samples);
    bool ok = h >= 0 && edf_set_startdatetime(h, 2022, 1, 2, 3, 4, 5) == 0;
    for (int r = 0; ok && r < 3; r++) {
        ok = write_signal(h, r, 0) && write_signal(h, r, 1);
    }
    ok = ok && write_signal(h, 3, 0);
    for (int r = 0; ok && r < 3; r++) {
        ok = edfwrite_annotation_utf8_us(h, r * 1000000LL, -1, "mark") == 0;
    }
    ok = ok && edf_check_file(path.c_str(), nullptr, 0) > 0;
    char byte = ok ? 'W' : 'F';
    if (write(ready, &byte, 1) != 1 || !ok || read(go, &byte, 1) != 1) {
        _exit(1);
    }
    ok = write_signal(h, 3, 1);
    for (int r = 4; ok && r < 6; r++) {
        ok = write_signal(h, r, 0) && write_signal(h, r, 1);
    }
    _exit(ok && edfclose_file(h) == 0 ? 0 : 1);
}

#ifdef _WIN32
// The writer as this program started again: 'W' on its standard output, the byte to go on its
// standard input; killed with TerminateProcess.
const bool live_writer_role = child_processes::child_role(
    "live-writer", [](const std::vector<std::string> &a) -> int { write_live(a.at(0), 1, 0); });

struct live_writer {
    std::unique_ptr<child_processes::child_program> child;
    bool start(const std::string &path) {
        child = std::make_unique<child_processes::child_program>();
        char byte = 0;
        return child_processes::start_child_role(*child, "live-writer", {path}) &&
               child->read_byte(byte) && byte == 'W';
    }
    // Lets it finish, or kills it; returns its exit code.
    long end(bool kill_it) {
        if (kill_it ? !child->terminate() : !child->write_byte('G')) {
            return -1;
        }
        return child->wait();
    }
};
bool finished_well(long status) {
    return status == 0;
}
bool was_killed(long status) {
    return status == 99;
}
#else
struct live_writer {
    pid_t pid = -1;
    int ready = -1;
    int go = -1;
    // Starts the writer and waits until it has written the first part.
    bool start(const std::string &path) {
        int to_parent[2];
        int to_child[2];
        if (pipe(to_parent) != 0 || pipe(to_child) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            close(to_parent[0]);
            close(to_child[1]);
            write_live(path, to_parent[1], to_child[0]);
        }
        close(to_parent[1]);
        close(to_child[0]);
        ready = to_parent[0];
        go = to_child[1];
        char byte = 0;
        return read(ready, &byte, 1) == 1 && byte == 'W';
    }
    // Lets it finish, or kills it; returns its wait status.
    int end(bool kill_it) {
        if (kill_it) {
            kill(pid, SIGKILL);
        } else if (write(go, "G", 1) != 1) {
            return -1;
        }
        int status = -1;
        waitpid(pid, &status, 0);
        close(ready);
        close(go);
        return status;
    }
};
bool finished_well(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
bool was_killed(int status) {
    return WIFSIGNALED(status);
}
#endif

// The records and annotations that the strict open finds, checked sample by sample.
int64_t records_read_back(const std::string &path, int64_t *annotations) {
    auto h = std::make_unique<edf_header_info>();
    if (edfopen_file_readonly(path.c_str(), h.get(), EDF_READ_ALL_ANNOTATIONS) != 0) {
        return -1;
    }
    const int64_t records = h->datarecord_count;
    for (int s = 0; s < signals; s++) {
        std::vector<int> got(static_cast<size_t>(records * samples));
        EXPECT_EQ(edfread_digital_samples(h->handle, s, static_cast<int>(got.size()), got.data()),
                  static_cast<int>(got.size()));
        for (size_t j = 0; j < got.size(); j++) {
            EXPECT_EQ(got[j],
                      sample(static_cast<int>(j / samples), s, static_cast<int>(j % samples)))
                << "signal " << s << " sample " << j;
        }
    }
    *annotations = h->annotation_count;
    edfclose_file(h->handle);
    return records;
}

// A conforming two-record file.
void write_conforming(const std::string &path) {
    const int h = open_configured(path, signals, samples);
    ASSERT_GE(h, 0);
    for (int r = 0; r < 2; r++) {
        ASSERT_TRUE(write_signal(h, r, 0) && write_signal(h, r, 1));
    }
    ASSERT_EQ(edfclose_file(h), 0);
}

// edfinfo's answer as a code: 0 for success, the code whose words it printed, or 1000 + the
// exit status when it printed none of them.
int edfinfo_code(const temp_dir &dir, const std::vector<std::string> &arguments,
                 const std::function<void()> &setup = {}) {
    const child_processes::program_result r =
        child_processes::run_program(EDFINFO_PATH, arguments, dir.path().string(), setup);
    if (r.status == 0) {
        return 0;
    }
    for (const int code : {EDF_ERR_CANNOT_OPEN, EDF_ERR_ALREADY_OPEN, EDF_ERR_BEING_WRITTEN,
                           EDF_ERR_WRITE, EDF_ERR_OUTPUT_EXISTS}) {
        if (r.err.find(edf_error_text(code)) != std::string::npos) {
            return code;
        }
    }
    ADD_FAILURE() << r.err;
    return 1000 + r.status;
}

} // namespace

#ifdef EDFINFO_PATH

TEST(FileOperations, FileThatAnotherProgramIsWritingIsRefusedAndStaysWhole) {
    close_all_handles guard;
    temp_dir dir;
    const std::string live = dir.file("live.edf");
    const std::string other = dir.file("other.edf");
    write_conforming(other);
    const auto refused = [&](std::vector<std::string> arguments) {
        return [&dir, arguments] { return edfinfo_code(dir, arguments); };
    };
    const struct {
        const char *name;
        std::function<int()> call;
    } operations[] = {
        {"plan of recovery",
         [&] {
             edf_recovery_plan plan{};
             return edf_plan_recovery(live.c_str(), &plan);
         }},
        {"recovery", [&] { return edf_recover_file(live.c_str()); }},
        {"de-identification in place",
         [&] { return edf_anonymize_file(live.c_str(), nullptr, EDF_ANON_KEEP_START_TIME); }},
        {"de-identified copy over it",
         [&] { return edf_anonymize_file(other.c_str(), live.c_str(), 0); }},
        {"repaired copy over it",
         [&] { return edf_repair_file(other.c_str(), live.c_str(), 1, nullptr, 0); }},
        {"another writer",
         [&] {
             const int h = edfopen_file_writeonly(live.c_str(), EDF_FILETYPE_EDFPLUS, 1);
             if (h >= 0) {
                 edfclose_file(h);
             }
             return h;
         }},
        {"edfinfo --recover", refused({"--recover", live})},
        {"edfinfo --anonymize --in-place", refused({"--anonymize", "--in-place", live})},
        {"edfinfo --repair --force", refused({"--repair", live, "--force", other})},
        {"edfinfo --continuous", refused({"--continuous", live, other})},
    };

    live_writer writer;
    ASSERT_TRUE(writer.start(live));
    const std::string written = file_bytes(live);
    // What the writer has written so far: "-1" records and part of a fourth record.
    ASSERT_EQ(written.substr(236, 8), "-1      ");
    ASSERT_GT(written.size(), static_cast<size_t>(header_bytes + 3 * record_bytes));
    for (const auto &operation : operations) {
        SCOPED_TRACE(operation.name);
        EXPECT_EQ(operation.call(), EDF_ERR_BEING_WRITTEN);
        EXPECT_TRUE(file_bytes(live) == written) << "the live file changed";
    }
    ASSERT_TRUE(finished_well(writer.end(false)));
    int64_t annotations = 0;
    EXPECT_EQ(records_read_back(live, &annotations), 6);
    EXPECT_EQ(annotations, 3);

    // A killed writer leaves no mark: its file is recovered at once, the partial record cut.
    ASSERT_TRUE(writer.start(live));
    ASSERT_TRUE(was_killed(writer.end(true)));
    EXPECT_EQ(edf_recover_file(live.c_str()), 3);
    EXPECT_EQ(records_read_back(live, &annotations), 3);
    EXPECT_EQ(annotations, 3);
    // And the mark goes with a closed handle: this process writes the file again.
    const int h = open_configured(live, signals, samples);
    ASSERT_GE(h, 0);
    EXPECT_EQ(edfclose_file(h), 0);
}

// One code per kind of failure, whichever file operation meets it. Writes fail in a child
// process whose files cannot grow at all, as on a full disk.
TEST(FileOperations, EachFailureHasOneCodeInEveryOperation) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = dir.file("source.edf");
    write_conforming(source);
    const std::string link = dir.file("link.edf");
    std::filesystem::create_hard_link(source, link);
    const std::string existing = dir.file("existing.edf");
    write_conforming(existing);
    const std::string existing_bytes = file_bytes(existing);
    // A file that only the tolerant open reads (its record count not set): de-identification
    // repairs it into a temporary copy first.
    const std::string unfinished = dir.file("unfinished.edf");
    std::string unfinished_bytes = file_bytes(source);
    unfinished_bytes.replace(236, 8, "-1      ");
    std::ofstream(unfinished, std::ios::binary) << unfinished_bytes;
    const std::string out = dir.file("out.edf");
    const std::string open_here = dir.file("open.edf");
    write_conforming(open_here);
    auto reader = std::make_unique<edf_header_info>();
    ASSERT_EQ(edfopen_file_readonly(open_here.c_str(), reader.get(), EDF_READ_NO_ANNOTATIONS), 0);

#ifndef _WIN32
    const auto no_room = [](std::function<int()> call) {
        return [call] { return child_processes::in_child_with_file_limit(0, call); };
    };
#endif
    const auto edfinfo = [&](std::vector<std::string> arguments, bool without_room = false) {
        return [&dir, arguments, without_room] {
            if (!without_room) {
                return edfinfo_code(dir, arguments);
            }
#ifdef _WIN32
            return 0;
#else
            return edfinfo_code(dir, arguments, [] { child_processes::limit_file_size(0); });
#endif
        };
    };
    edf_recovery_plan plan{};
    const struct {
        const char *situation;
        const char *operation;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"null path", "recovery", [] { return edf_recover_file(nullptr); }, EDF_ERR_CANNOT_OPEN},
        {"null path", "plan", [&] { return edf_plan_recovery(nullptr, &plan); },
         EDF_ERR_CANNOT_OPEN},
        {"null path", "repair",
         [&] { return edf_repair_file(nullptr, out.c_str(), 1, nullptr, 0); }, EDF_ERR_CANNOT_OPEN},
        {"null output", "repair",
         [&] { return edf_repair_file(source.c_str(), nullptr, 1, nullptr, 0); },
         EDF_ERR_CANNOT_OPEN},
        {"null path", "de-identification", [] { return edf_anonymize_file(nullptr, nullptr, 0); },
         EDF_ERR_CANNOT_OPEN},
        {"output is the file", "repair",
         [&] { return edf_repair_file(source.c_str(), link.c_str(), 1, nullptr, 0); },
         EDF_ERR_ALREADY_OPEN},
        {"output is the file", "de-identification",
         [&] { return edf_anonymize_file(source.c_str(), link.c_str(), 0); }, EDF_ERR_ALREADY_OPEN},
        {"output is the file", "continuous copy",
         edfinfo({"--continuous", "link.edf", "source.edf"}), EDF_ERR_ALREADY_OPEN},
        {"output open here", "repair",
         [&] { return edf_repair_file(source.c_str(), open_here.c_str(), 1, nullptr, 0); },
         EDF_ERR_ALREADY_OPEN},
        {"output open here", "de-identification",
         [&] { return edf_anonymize_file(source.c_str(), open_here.c_str(), 0); },
         EDF_ERR_ALREADY_OPEN},
        {"output exists", "repair",
         [&] { return edf_repair_file(source.c_str(), existing.c_str(), 0, nullptr, 0); },
         EDF_ERR_OUTPUT_EXISTS},
        {"output exists", "edfinfo --repair", edfinfo({"--repair", "existing.edf", "source.edf"}),
         EDF_ERR_OUTPUT_EXISTS},
#ifndef _WIN32 // a file size limit makes the writes fail
        {"failed write", "recovery", no_room([&] { return edf_recover_file(unfinished.c_str()); }),
         EDF_ERR_WRITE},
        {"failed write", "de-identification in place",
         no_room([&] { return edf_anonymize_file(source.c_str(), nullptr, 0); }), EDF_ERR_WRITE},
        {"failed write", "de-identified copy",
         no_room([&] { return edf_anonymize_file(source.c_str(), out.c_str(), 0); }),
         EDF_ERR_WRITE},
        {"failed write", "de-identified copy, repaired first",
         no_room([&] { return edf_anonymize_file(unfinished.c_str(), out.c_str(), 0); }),
         EDF_ERR_WRITE},
        {"failed write", "repair",
         no_room([&] { return edf_repair_file(unfinished.c_str(), out.c_str(), 1, nullptr, 0); }),
         EDF_ERR_WRITE},
        {"failed write", "continuous copy",
         edfinfo({"--continuous", "out.edf", "source.edf"}, true), EDF_ERR_WRITE},
#endif
    };
    const std::string source_bytes = file_bytes(source);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.operation) + ", " + c.situation);
        EXPECT_EQ(c.call(), c.expected);
        // Nothing changed, no output left behind.
        EXPECT_TRUE(file_bytes(source) == source_bytes);
        EXPECT_TRUE(file_bytes(unfinished) == unfinished_bytes);
        EXPECT_TRUE(file_bytes(existing) == existing_bytes);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    // Where replacing is the rule, an existing output is replaced.
    EXPECT_EQ(edf_anonymize_file(source.c_str(), existing.c_str(), 0), 0);
    EXPECT_EQ(edfinfo_code(dir, {"--continuous", "existing.edf", "source.edf"}), 0);
    edfclose_file(reader->handle);
}

#endif
