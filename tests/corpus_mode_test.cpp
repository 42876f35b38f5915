// edfinfo over many files, run as a program on a small corpus of every kind (EDF, EDF+, BDF,
// BDF+, EDF+D, files that need a repair, files that cannot be read, the reader's fuzz
// corpus): one line or JSON object per file in input order whatever the number of threads,
// the summary, the catalogue (read back with SQLite's own library) against the per-file
// check, re-indexing, repair, recovery and de-identification of every file with the key
// file's lines in input order, and the progress line on a terminal.
#include "child_processes.h"
#include "discontinuous_files.h"
#include "reader_test_files.h"
#include "test_files.h"
#include "windows_skips.h"

#include "recording/edf.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#ifdef RECORDING_TESTS_HAVE_SQLITE
#include <sqlite3.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <pty.h>
#include <sys/stat.h>
#endif

#ifdef EDFINFO_PATH

namespace {

namespace fs = std::filesystem;
using child_processes::program_result;

program_result edfinfo(const std::vector<std::string> &arguments, const temp_dir &dir) {
    return child_processes::run_program(EDFINFO_PATH, arguments, utf8_path(dir.path()));
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// An EDF+ (or BDF+) file of two signals and three records written by the library.
void write_plus_file(const std::string &path, bool bdf) {
    const int h = open_configured(path, 2, 8, bdf);
    ASSERT_GE(h, 0) << path;
    edf_set_patientcode(h, "P-1");
    edf_set_equipment(h, "amplifier A");
    int values[16] = {};
    for (int r = 0; r < 3; r++) {
        edfwrite_digital_samples(h, values);
        edfwrite_digital_samples(h, values);
    }
    edfwrite_annotation_utf8_us(h, 500000, 1000000, "lights off");
    ASSERT_EQ(edfclose_file(h), 0);
}

// A plain EDF or BDF file of assembled bytes.
void write_plain_file(const std::string &path, bool bdf) {
    reader_test::file_spec description;
    description.bdf = bdf;
    description.reserved = "";
    description.patient = "patient";
    description.recording = "recording";
    description.signals = {{"EEG", 4, bdf ? -8388608 : -32768, bdf ? 8388607 : 32767}};
    std::mt19937 random(7);
    reader_test::write_bytes(path, reader_test::random_file(description, 2, random));
}

// The corpus: a directory `corpus` with files of every kind in subfolders (names sorted as
// listed here), and other files that the search leaves out.
struct corpus_file {
    std::string name;
    std::string status; // what the check says of it
};

std::vector<corpus_file> make_corpus(const temp_dir &dir) {
    const std::string root = dir.file("corpus");
    fs::create_directories(root + "/a");
    fs::create_directories(root + "/b/c");
    write_plus_file(root + "/a/edfplus.edf", false);
    write_plus_file(root + "/a/upper.BDF", true);
    write_plain_file(root + "/a/plain.edf", false);
    write_plain_file(root + "/b/plain.bdf", true);
    discontinuous::layout gaps{"gaps", false, 1000000, 4, {0, 5000000, discontinuous::follows}};
    EXPECT_EQ(discontinuous::write_file(root + "/b/c/gaps.edf", gaps), 0);
    // A recording whose writer died: count -1 and half a record.
    write_plus_file(root + "/b/c/unfinished.edf", false);
    reader_test::patch_bytes(root + "/b/c/unfinished.edf", 236, "-1      ");
    std::string bytes = file_bytes(root + "/b/c/unfinished.edf");
    reader_test::write_bytes(root + "/b/c/unfinished.edf", bytes + "half");
    reader_test::write_bytes(root + "/b/c/zz-not-edf.edf", "not an EDF file at all");
    reader_test::write_bytes(root + "/b/notes.txt", "left out: not .edf or .bdf");
    return {{"corpus/a/edfplus.edf", "conforming"},
            {"corpus/a/plain.edf", "conforming"},
            {"corpus/a/upper.BDF", "conforming"},
            {"corpus/b/c/gaps.edf", "conforming"},
            {"corpus/b/c/unfinished.edf", "repaired-readable"},
            {"corpus/b/c/zz-not-edf.edf", "unreadable"},
            {"corpus/b/plain.bdf", "conforming"}};
}

TEST(CorpusMode, CheckPrintsOneLinePerFileInInputOrderAndASummary) {
    temp_dir dir;
    const std::vector<corpus_file> corpus = make_corpus(dir);
    reader_test::write_bytes(dir.file("list.txt"),
                             "corpus/a/plain.edf\n\nmissing.edf\ncorpus/a/edfplus.edf\n");
    // The list's first file comes again with the directory: it is checked once, first.
    const std::vector<std::string> arguments = {"--check", "@list.txt", "corpus"};
    std::vector<std::string> expected_names = {"corpus/a/plain.edf", "missing.edf",
                                               "corpus/a/edfplus.edf"};
    for (const corpus_file &f : corpus) {
        if (f.name != "corpus/a/plain.edf" && f.name != "corpus/a/edfplus.edf") {
            expected_names.push_back(f.name);
        }
    }
    std::string first_output;
    for (const char *jobs : {"1", "2", "3"}) {
        SCOPED_TRACE(jobs);
        std::vector<std::string> with_jobs = arguments;
        with_jobs.insert(with_jobs.begin(), {"--jobs", jobs});
        const program_result r = edfinfo(with_jobs, dir);
        EXPECT_EQ(r.status, 1); // not every file conforms
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_GE(lines.size(), expected_names.size() + 1) << r.out;
        for (size_t i = 0; i < expected_names.size(); i++) {
            EXPECT_EQ(lines[i].rfind(expected_names[i] + ": ", 0), 0u) << lines[i];
        }
        EXPECT_EQ(lines[1], std::string("missing.edf: unreadable: cannot check: ") +
                                edf_error_text(EDF_ERR_CANNOT_OPEN));
        EXPECT_EQ(lines[expected_names.size()],
                  "8 files: 5 conforming, 1 repaired-readable, 2 unreadable (1 could not be "
                  "checked)")
            << r.out;
        EXPECT_NE(r.out.find("gaps.edf: conforming, discontinuous (EDF+D)"), std::string::npos);
        EXPECT_NE(r.out.find("unfinished.edf: repaired-readable, 2 problems: number of data "
                             "records, incomplete data record"),
                  std::string::npos)
            << r.out;
        if (first_output.empty()) {
            first_output = r.out;
        }
        EXPECT_EQ(r.out, first_output); // the same, whatever the number of threads
    }
}

// A list that cannot be read is reported and counts as a failure; the files named elsewhere
// are still checked. @- reads the list from standard input.
TEST(CorpusMode, ListsFromFilesAndStandardInput) {
    temp_dir dir;
    make_corpus(dir);
    program_result r = edfinfo({"--check", "@no-such-list.txt", "corpus/a/plain.edf"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "edfinfo: cannot read the list 'no-such-list.txt'\n");
    EXPECT_EQ(r.out, "corpus/a/plain.edf: conforming\n1 file: 1 conforming, 0 repaired-readable, "
                     "0 unreadable\n");
#ifdef _WIN32
    child_processes::child_program child;
    ASSERT_TRUE(child.start(EDFINFO_PATH, {"--check", "--jobs", "2", "@-"}, utf8_path(dir.path())));
    ASSERT_TRUE(child.write_input("corpus/b/plain.bdf\ncorpus/a\n"));
    child.close_input();
    std::string out;
    std::string err;
    child.read_out_and_err(out, err);
    EXPECT_EQ(child.wait(), 0) << err;
#else
    const std::string command = "cd '" + dir.path().string() +
                                "' && printf 'corpus/b/plain.bdf\\ncorpus/a\\n' | '" EDFINFO_PATH
                                "' --check --jobs 2 @- > out.txt";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string out = file_bytes(dir.file("out.txt"));
#endif
    EXPECT_EQ(lines_of(out),
              (std::vector<std::string>{
                  "corpus/b/plain.bdf: conforming", "corpus/a/edfplus.edf: conforming",
                  "corpus/a/plain.edf: conforming", "corpus/a/upper.BDF: conforming",
                  "4 files: 4 conforming, 0 repaired-readable, 0 unreadable"}));
}

// The search's order goes by path components ("a/" before "a-b/" before "a.edf"); a link to
// a file is a file (listed once with the file itself), a link to a directory is not followed,
// and a name that is only the extension is no recording.
TEST(CorpusMode, DirectorySearchOrderAndLinks) {
    temp_dir dir;
    for (const char *folder : {"d/a", "d/a-b", "elsewhere"}) {
        fs::create_directories(dir.file(folder));
    }
    for (const char *name : {"d/a/y.edf", "d/a-b/x.edf", "d/a.edf", "d/.edf", "d/x.edfx",
                             "elsewhere/outside.edf", "elsewhere/beyond.edf"}) {
        write_plain_file(dir.file(name), false);
    }
#ifdef _WIN32
    // (Symbolic links on Windows need a privilege that tests do not have: the order alone.)
    const program_result r = edfinfo({"--check", "d"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{
                  "d/a/y.edf: conforming", "d/a-b/x.edf: conforming", "d/a.edf: conforming",
                  "3 files: 3 conforming, 0 repaired-readable, 0 unreadable"}));
#else
    fs::create_symlink("../elsewhere/outside.edf", dir.file("d/z-link.edf"));
    fs::create_symlink("a/y.edf", dir.file("d/same.edf"));
    fs::create_symlink("../elsewhere", dir.file("d/linked-folder"));
    fs::create_symlink("nothing.edf", dir.file("d/dangling.edf"));
    const program_result r = edfinfo({"--check", "d"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "d/a/y.edf: conforming", "d/a-b/x.edf: conforming",
                                   "d/a.edf: conforming", "d/z-link.edf: conforming",
                                   "4 files: 4 conforming, 0 repaired-readable, 0 unreadable"}));
#endif
}

TEST(CorpusMode, JsonLinesAgreeWithTheSingleFileCheck) {
    temp_dir dir;
    const std::vector<corpus_file> corpus = make_corpus(dir);
    const program_result r = edfinfo({"--check", "--json", "--jobs", "2", "corpus"}, dir);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), corpus.size()) << r.out;
    EXPECT_EQ(r.err.rfind("7 files: 5 conforming, 1 repaired-readable, 1 unreadable\n", 0), 0u)
        << r.err; // the summary goes to standard error, next to JSON lines
    for (size_t i = 0; i < corpus.size(); i++) {
        nlohmann::json line;
        ASSERT_NO_THROW(line = nlohmann::json::parse(lines[i])) << lines[i];
        EXPECT_EQ(line["file"], corpus[i].name);
        EXPECT_EQ(line["status"], corpus[i].status) << corpus[i].name;
        EXPECT_TRUE(line["error"].is_null());
        const program_result one = edfinfo({"--check", "--json", corpus[i].name}, dir);
        EXPECT_EQ(line["problems"], nlohmann::json::parse(one.out)) << corpus[i].name;
    }
    // The reports too: one JSON document per line, the file that cannot be read on stderr.
    const program_result reports = edfinfo({"--json", "corpus"}, dir);
    EXPECT_EQ(reports.status, 1);
    const std::vector<std::string> documents = lines_of(reports.out);
    ASSERT_EQ(documents.size(), corpus.size() - 1) << reports.out;
    EXPECT_EQ(nlohmann::json::parse(documents[0])["datarecord_count"], 3);
    EXPECT_EQ(nlohmann::json::parse(documents[3])["segments"].size(), 2u);
    EXPECT_NE(reports.err.find("cannot open 'corpus/b/c/zz-not-edf.edf'"), std::string::npos);
    EXPECT_NE(reports.err.find("edfinfo: 1 of 7 files failed"), std::string::npos);
}

#ifdef RECORDING_TESTS_HAVE_SQLITE
// The catalogue, read back with SQLite.
class database {
  public:
    explicit database(const std::string &path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    }
    ~database() {
        sqlite3_close(db_);
    }
    database(const database &) = delete;
    database &operator=(const database &) = delete;

    // Every row of the query, each value as text ("NULL" for null).
    std::vector<std::vector<std::string>> rows(const std::string &sql) {
        std::vector<std::vector<std::string>> result;
        sqlite3_stmt *statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); c++) {
                const unsigned char *text = sqlite3_column_text(statement, c);
                row.push_back(text != nullptr ? reinterpret_cast<const char *>(text) : "NULL");
            }
            result.push_back(row);
        }
        sqlite3_finalize(statement);
        return result;
    }

  private:
    sqlite3 *db_ = nullptr;
};

std::string json_text(const nlohmann::json &value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// The catalogue holds, for every file, what the per-file check says: its status, its count
// and its problems, row by row; over the corpus of every kind and the reader's fuzz corpus.
TEST(CorpusMode, CatalogueAgreesWithTheCheckAndIsUpdatedByChange) {
    temp_dir dir;
    make_corpus(dir);
    std::string list;
    const fs::path fuzz = fs::path(EDFINFO_SOURCE_DIR) / "fuzz" / "corpus" / "fuzz_reader";
    for (const auto &entry : fs::directory_iterator(fuzz)) {
        list += entry.path().string() + "\n";
    }
    reader_test::write_bytes(dir.file("fuzz.txt"), list);
    const std::vector<std::string> inputs = {"corpus", "@fuzz.txt"};

    std::vector<std::string> index_arguments = {"--index", "catalogue.db"};
    index_arguments.insert(index_arguments.end(), inputs.begin(), inputs.end());
    const program_result indexed = edfinfo(index_arguments, dir);
    ASSERT_EQ(indexed.status, 0) << indexed.err;
    std::vector<std::string> check_arguments = {"--check", "--json"};
    check_arguments.insert(check_arguments.end(), inputs.begin(), inputs.end());
    const program_result checked = edfinfo(check_arguments, dir);
    const std::vector<std::string> lines = lines_of(checked.out);
    ASSERT_GT(lines.size(), 100u);
    EXPECT_EQ(indexed.out,
              "catalogue.db: " + std::to_string(lines.size()) + " files read, 0 kept, 0 dropped\n");

    database db(dir.file("catalogue.db"));
    std::map<std::string, size_t> statuses;
    size_t problem_rows = 0;
    for (const std::string &line : lines) {
        const nlohmann::json file = nlohmann::json::parse(line);
        const std::string path =
            fs::absolute(dir.path() / file["file"].get<std::string>()).lexically_normal().string();
        SCOPED_TRACE(path);
        const auto recording =
            db.rows("SELECT id, status, problem_count, readable FROM recordings WHERE path = '" +
                    path + "'");
        ASSERT_EQ(recording.size(), 1u);
        EXPECT_EQ(recording[0][1], file["status"]);
        EXPECT_EQ(recording[0][2], std::to_string(file["problems"].size()));
        EXPECT_EQ(recording[0][3], file["status"] == "unreadable" ? "0" : "1");
        statuses[file["status"]]++;
        const auto problems =
            db.rows("SELECT offset, signal, record, code, action, field, found, message FROM "
                    "problems WHERE recording_id = " +
                    recording[0][0] + " ORDER BY rowid");
        ASSERT_EQ(problems.size(), file["problems"].size());
        for (size_t n = 0; n < problems.size(); n++) {
            const nlohmann::json &p = file["problems"][n];
            const std::vector<std::string> expected = {
                json_text(p["offset"]), json_text(p["signal"]), json_text(p["record"]),
                json_text(p["code"]),   json_text(p["action"]), json_text(p["field"]),
                json_text(p["found"]),  json_text(p["message"])};
            EXPECT_EQ(problems[n], expected);
        }
        problem_rows += problems.size();
    }
    for (const auto &[status, count] : statuses) {
        EXPECT_EQ(db.rows("SELECT count(*) FROM recordings WHERE status = '" + status + "'"),
                  (std::vector<std::vector<std::string>>{{std::to_string(count)}}));
    }
    EXPECT_EQ(db.rows("SELECT count(*) FROM problems")[0][0], std::to_string(problem_rows));
    // The header's values of a file of the corpus.
    EXPECT_EQ(db.rows("SELECT filetype, record_count, signal_count, annotation_count, "
                      "patient_code, equipment, discontinuous FROM recordings WHERE path LIKE "
                      "'%/a/edfplus.edf'"),
              (std::vector<std::vector<std::string>>{
                  {"EDF+", "3", "2", "1", "P-1", "amplifier A", "0"}}));
    EXPECT_EQ(db.rows("SELECT s.start, s.first_record, s.records FROM segments s JOIN "
                      "recordings r ON r.id = s.recording_id WHERE r.path LIKE '%/gaps.edf'"),
              (std::vector<std::vector<std::string>>{{"0.0", "0", "1"}, {"5.0", "1", "2"}}));
    EXPECT_EQ(db.rows("SELECT a.onset, a.duration, a.text FROM annotations a JOIN recordings r "
                      "ON r.id = a.recording_id WHERE r.path LIKE '%/a/edfplus.edf'"),
              (std::vector<std::vector<std::string>>{{"0.5", "1.0", "lights off"}}));

    // Again: one file changed, one gone, one new; only the changed and the new one are read.
    write_plus_file(dir.file("corpus/a/edfplus.edf") + ".new", false);
    fs::rename(dir.file("corpus/a/edfplus.edf") + ".new", dir.file("corpus/a/edfplus.edf"));
    const auto later = fs::file_time_type::clock::now() + std::chrono::seconds(5);
    fs::last_write_time(dir.file("corpus/a/edfplus.edf"), later);
    fs::remove(dir.file("corpus/b/plain.bdf"));
    write_plus_file(dir.file("corpus/new.edf"), true);
    const program_result again = edfinfo(index_arguments, dir);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "catalogue.db: 2 files read, " + std::to_string(lines.size() - 2) +
                             " kept, 1 dropped\n");
    database after(dir.file("catalogue.db"));
    EXPECT_EQ(after.rows("SELECT count(*) FROM recordings")[0][0], std::to_string(lines.size()));
    EXPECT_TRUE(after.rows("SELECT id FROM recordings WHERE path LIKE '%/plain.bdf'").empty());
    EXPECT_EQ(after.rows("SELECT count(*) FROM signals WHERE recording_id NOT IN (SELECT id FROM "
                         "recordings)")[0][0],
              "0");
}
#else
// Without SQLite (the Windows build) edfinfo has no catalogue: it says so, as for a usage
// error.
TEST(CorpusMode, CatalogueAgreesWithTheCheckAndIsUpdatedByChange) {
    temp_dir dir;
    make_corpus(dir);
    const program_result r = edfinfo({"--index", "catalogue.db", "corpus"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "edfinfo: this build keeps no catalogue (built without SQLite)\n");
    EXPECT_FALSE(fs::exists(dir.file("catalogue.db")));
    GTEST_SKIP() << "SQLite is not built for Windows: no catalogue to read back";
}
#endif

TEST(CorpusMode, RepairRecoverAndBadFilesAmongGoodOnes) {
    temp_dir dir;
    make_corpus(dir);
    program_result r = edfinfo({"--repair", "fixed", "--jobs", "2", "corpus"}, dir);
    EXPECT_EQ(r.status, 1); // the file that is not an EDF file cannot be repaired
    EXPECT_NE(r.err.find("cannot repair 'corpus/b/c/zz-not-edf.edf'"), std::string::npos);
    // Each copy under its path below the directory searched.
    EXPECT_EQ(edfinfo({"--check", "fixed/b/c/unfinished.edf"}, dir).status, 0);
    EXPECT_EQ(file_bytes(dir.file("fixed/a/edfplus.edf")),
              file_bytes(dir.file("corpus/a/edfplus.edf")));
    EXPECT_FALSE(fs::exists(dir.file("fixed/b/c/zz-not-edf.edf")));
    // Two files of one name given directly: the second is refused, not copied over the first.
    r = edfinfo({"--repair", "flat", "corpus/a/plain.edf", "corpus/b/c/unfinished.edf",
                 "corpus/b/plain.bdf", "corpus/a/plain.edf"},
                dir);
    EXPECT_EQ(r.status, 0) << r.err; // the repeated path is the same file, worked on once
    EXPECT_TRUE(fs::exists(dir.file("flat/unfinished.edf")));
    fs::copy_file(dir.file("corpus/b/plain.bdf"), dir.file("corpus/plain.edf"));
    r = edfinfo({"--repair", "flat2", "corpus/a/plain.edf", "corpus/plain.edf"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("it is the copy of 'corpus/a/plain.edf'"), std::string::npos) << r.err;

    // Recovery of every file: the unfinished one is mended, the broken one refused, the rest
    // need nothing.
    r = edfinfo({"--recover", "corpus"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("corpus/b/c/unfinished.edf: 3 complete data records"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("corpus/a/edfplus.edf: nothing to recover"), std::string::npos);
    EXPECT_EQ(edfinfo({"--check", "corpus/b/c/unfinished.edf"}, dir).status, 0);

    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"--jobs", "0", "--check", "corpus"},
             {"--jobs", "33", "--check", "corpus"},
             {"--samples", "0", "corpus/a/plain.edf", "corpus/b/plain.bdf"},
             {"--plot", "0", "--svg", "x.svg", "@list"},
         }) {
        EXPECT_EQ(edfinfo(bad, dir).status, 2) << bad[0] << " " << bad[1];
    }
}

// The key file's lines come in input order with --jobs, each file's pseudonym numbered in
// that order; a file that fails after its line was written has it taken back, and the key is
// then the one that a run of one thread writes.
TEST(CorpusMode, AnonymizeManyFilesKeepsTheKeyInInputOrder) {
    std::string first_key;
    for (const char *jobs : {"1", "2"}) {
        SCOPED_TRACE(jobs);
        temp_dir dir;
        fs::create_directories(dir.file("in"));
        for (int n = 0; n < 12; n++) {
            char name[32];
            std::snprintf(name, sizeof name, "in/p%02d.edf", n);
            const int h = open_configured(dir.file(name), 1, 10);
            ASSERT_GE(h, 0);
            edf_set_patientcode(h, ("MCH-" + std::to_string(n % 5)).c_str());
            edf_set_startdatetime(h, 2020, 3, 1, 8, 0, 0);
            // Two files have a sub-second start: in place it cannot be cleared, they fail
            // after their lines were written.
            if (n == 3 || n == 8) {
                edf_set_subsecond_starttime(h, 5000);
            }
            int values[10] = {};
            edfwrite_digital_samples(h, values);
            ASSERT_EQ(edfclose_file(h), 0);
        }
        const program_result r = edfinfo({"--anonymize", "--in-place", "--map", "key.csv",
                                          "--pseudonym", "S", "--jobs", jobs, "in"},
                                         dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("'in/p03.edf' not de-identified"), std::string::npos) << r.err;
        const std::string key = file_bytes(dir.file("key.csv"));
        std::string expected = "file,original_start,shift_days,pseudonym\n";
        // Patients MCH-0 to MCH-4 in turn; both files of MCH-3 failed, so the pseudonyms number
        // the patients of the files changed, in input order.
        const int patient_of[] = {0, 1, 2, -1, 4, 0, 1, 2, -1, 4, 0, 1};
        std::map<int, int> numbers;
        for (int n = 0; n < 12; n++) {
            if (patient_of[n] < 0) {
                continue;
            }
            const int number =
                numbers.emplace(patient_of[n], static_cast<int>(numbers.size()) + 1).first->second;
            char line[96];
            std::snprintf(line, sizeof line,
                          "in/p%02d.edf,2020-03-01T08:00:00.0000000,-12843,S%d\n", n, number);
            expected += line;
        }
        EXPECT_EQ(key, expected);
#ifndef _WIN32 // (permission bits)
        struct stat status {};
        ASSERT_EQ(stat(dir.file("key.csv").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
#endif
        const std::vector<std::string> lines = lines_of(r.out);
        EXPECT_EQ(lines.front(), "in/p00.edf (in place)");
        if (first_key.empty()) {
            first_key = key;
            continue;
        }
        EXPECT_EQ(key, first_key);
        // Copies into a directory, mirrored below it; an existing key is refused.
        const program_result copies =
            edfinfo({"--anonymize", "--output", "out", "--map", "key.csv", "in"}, dir);
        EXPECT_EQ(copies.status, 1);
        EXPECT_NE(copies.err.find("a key file is never replaced"), std::string::npos);
        EXPECT_FALSE(fs::exists(dir.file("out/p00.edf")));
        EXPECT_EQ(edfinfo({"--anonymize", "--output", "out", "--jobs", "2", "in"}, dir).status, 0);
        EXPECT_TRUE(fs::exists(dir.file("out/p11.edf")));
        // A file found deeper below the directory: its copy in the same folders below OUT.
        fs::create_directories(dir.file("nested/deep"));
        fs::copy_file(dir.file("in/p00.edf"), dir.file("nested/deep/z.edf"));
        EXPECT_EQ(edfinfo({"--anonymize", "--output", "out2", "nested"}, dir).status, 0);
        EXPECT_TRUE(fs::exists(dir.file("out2/deep/z.edf")));
    }
}

// On a terminal, standard error shows the progress line: files done, the rate, the time left.
#ifdef _WIN32
SKIPPED_ON_WINDOWS(CorpusMode, ProgressLineOnATerminal, "a pseudo-terminal (forkpty)")
#else
TEST(CorpusMode, ProgressLineOnATerminal) {
    temp_dir dir;
    make_corpus(dir);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Standard output to a file, standard error stays the terminal.
        const std::string out = dir.file("out.txt");
        if (freopen(out.c_str(), "w", stdout) == nullptr || chdir(dir.path().c_str()) != 0) {
            _exit(127);
        }
        execl(EDFINFO_PATH, EDFINFO_PATH, "--check", "corpus", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_NE(shown.find("\r7/7 files, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" files/s, 0:00 left"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K"); // taken off at the end
    EXPECT_GE(lines_of(file_bytes(dir.file("out.txt"))).size(), 7u + 1u);
}
#endif

} // namespace

#endif
