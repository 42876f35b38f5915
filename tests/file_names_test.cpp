// Files as the system names and stores them, on every platform: another name for the source
// is never taken for a new output, every byte is written as it is (no line-end translation),
// offsets beyond 4 GiB, and UTF-8 file names.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace reader_test;

namespace {

std::string utf8(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path from_utf8(const std::string &path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// An EDF+ file of the writer's: one signal whose samples are line feeds and carriage returns
// in every byte order (0x0a0a, 0x0d0a, 0x0a0d), and an annotation.
constexpr int samples_per_record = 300;
constexpr int records = 4;

int write_recording(const std::string &path) {
    const int handle = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    if (handle < 0) {
        return handle;
    }
    edf_set_samplefrequency(handle, 0, samples_per_record);
    edf_set_physical_maximum(handle, 0, 32767);
    edf_set_physical_minimum(handle, 0, -32768);
    edf_set_digital_maximum(handle, 0, 32767);
    edf_set_digital_minimum(handle, 0, -32768);
    edf_set_label(handle, 0, "EEG");
    std::vector<int> samples(samples_per_record);
    const int line_ends[] = {0x0a0a, 0x0d0a, 0x0a0d};
    for (int i = 0; i < samples_per_record; i++) {
        samples[i] = line_ends[i % 3];
    }
    for (int r = 0; r < records; r++) {
        if (edfwrite_digital_samples(handle, samples.data()) != 0) {
            edfclose_file(handle);
            return -1;
        }
    }
    edfwrite_annotation_utf8_us(handle, 1000000, -1, "line\nend");
    return edfclose_file(handle);
}

int64_t size_of(const std::string &path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(from_utf8(path), error);
    return error ? -1 : static_cast<int64_t>(size);
}

} // namespace

// Each operation that writes a new file refuses an output that is its source under another
// name, and leaves the source as it was: truncating the output would destroy it.
TEST(FileNames, AnotherNameForTheSourceIsNotANewOutput) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = dir.file("source.edf");
    ASSERT_EQ(write_recording(source), 0);
    const std::string bytes = file_bytes(source);

    std::vector<std::string> aliases = {utf8(dir.path()) + "/./source.edf",
                                        utf8(dir.path() / "sub" / ".." / "source.edf")};
    std::filesystem::create_directory(dir.path() / "sub");
#ifdef _WIN32
    // The same path with the other separator, and in capitals.
    std::string swapped = source;
    std::replace(swapped.begin(), swapped.end(), '\\', '/');
    aliases.push_back(swapped);
    std::string backslashed = source;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    aliases.push_back(backslashed);
    std::string upper = dir.file("SOURCE.EDF");
    aliases.push_back(upper);
#endif
    std::error_code linked;
    std::filesystem::create_hard_link(dir.path() / "source.edf", dir.path() / "link.edf", linked);
    if (!linked) {
        aliases.push_back(dir.file("link.edf"));
    }

    const std::vector<std::pair<std::string, std::function<int(const char *, const char *)>>>
        operations = {
            {"anonymize",
             [](const char *in, const char *out) { return edf_anonymize_file(in, out, 0); }},
            {"repair", [](const char *in,
                          const char *out) { return edf_repair_file(in, out, 1, nullptr, 0); }},
            {"continuous copy",
             [](const char *in, const char *out) { return edf_continuous_copy(in, out, 1); }},
        };
    const std::string other = dir.file("other.edf");
    for (const auto &[name, operation] : operations) {
        for (const std::string &alias : aliases) {
            SCOPED_TRACE(name + " onto " + alias);
            EXPECT_EQ(operation(source.c_str(), alias.c_str()), EDF_ERR_ALREADY_OPEN);
            EXPECT_EQ(file_bytes(source), bytes);
        }
        // And an existing file that is another one is replaced.
        SCOPED_TRACE(name + " onto another file");
        ASSERT_EQ(write_recording(other), 0);
        EXPECT_GE(operation(source.c_str(), other.c_str()), 0);
    }
}

// What the writer and the copying operations write is exactly the bytes of the format: a line
// feed in a sample or an annotation stays one byte.
TEST(FileNames, EveryByteIsStoredAsItIs) {
    close_all_handles guard;
    temp_dir dir;
    const std::string source = dir.file("source.edf");
    ASSERT_EQ(write_recording(source), 0);
    const int64_t header_size = 256 * 3;
    edf_header_info info{};
    ASSERT_EQ(edfopen_file_readonly(source.c_str(), &info, EDF_READ_ALL_ANNOTATIONS), 0);
    ASSERT_EQ(info.datarecord_count, records);
    EXPECT_EQ(info.annotation_count, 1);
    std::vector<int> read(samples_per_record);
    ASSERT_EQ(edfread_digital_samples(info.handle, 0, samples_per_record, read.data()),
              samples_per_record);
    EXPECT_EQ(read[0], 0x0a0a);
    EXPECT_EQ(read[1], 0x0d0a);
    EXPECT_EQ(read[2], 0x0a0d);
    edfclose_file(info.handle);
    const std::string bytes = file_bytes(source);

    const std::string anonymized = dir.file("anonymized.edf");
    const std::string repaired = dir.file("repaired.edf");
    const std::string continuous = dir.file("continuous.edf");
    ASSERT_EQ(edf_anonymize_file(source.c_str(), anonymized.c_str(), 0), 0);
    ASSERT_GE(edf_repair_file(source.c_str(), repaired.c_str(), 1, nullptr, 0), 0);
    ASSERT_EQ(edf_continuous_copy(source.c_str(), continuous.c_str(), 1), 0);
    for (const std::string &copy : {anonymized, repaired, continuous}) {
        SCOPED_TRACE(copy);
        EXPECT_EQ(size_of(copy), size_of(source));
        EXPECT_EQ(file_bytes(copy).substr(static_cast<size_t>(header_size)),
                  bytes.substr(static_cast<size_t>(header_size)));
    }
}

// A recording larger than 4 GiB (a sparse file of zero samples): its size, the samples of its
// last record and a recovery that cuts a partial record there all reach beyond 32-bit offsets.
TEST(FileNames, OffsetsBeyondFourGibibytes) {
    close_all_handles guard;
    temp_dir dir;
    const std::string path = dir.file("large.edf");
    constexpr int samples = 500000; // 1 MB records
    constexpr int64_t count = 4400;
    file_spec f;
    f.reserved = "";
    f.signals = {{"EEG", samples, -32768, 32767}};
    const std::string header = header_bytes(f, count);
    const int64_t record_size = 2 * samples;
    const int64_t last = static_cast<int64_t>(header.size()) + (count - 1) * record_size;
    ASSERT_GT(last, int64_t{1} << 32);
    {
        std::ofstream out(from_utf8(path), std::ios::binary);
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
    }
    std::error_code error;
    std::filesystem::resize_file(from_utf8(path), static_cast<uintmax_t>(last + record_size + 1000),
                                 error);
    if (error) {
        GTEST_SKIP() << "no room for a sparse file of 4.4 GB here: " << error.message();
    }
    {
        // The first two samples of the last record: 1 and -2.
        std::fstream out(from_utf8(path), std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(last));
        out.write("\x01\x00\xfe\xff", 4);
        ASSERT_TRUE(out.good());
    }

    edf_recovery_plan plan{};
    ASSERT_EQ(edf_plan_recovery(path.c_str(), &plan), 0);
    EXPECT_EQ(plan.file_size, last + record_size + 1000);
    EXPECT_EQ(plan.complete_records, count);
    EXPECT_EQ(plan.partial_bytes, 1000);
    ASSERT_EQ(edf_recover_file(path.c_str()), count);
    EXPECT_EQ(size_of(path), last + record_size);

    edf_header_info info{};
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), &info, EDF_READ_NO_ANNOTATIONS), 0);
    EXPECT_EQ(info.datarecord_count, count);
    std::vector<int> values(samples);
    int *buffers[] = {values.data()};
    const int signal = 0;
    ASSERT_EQ(edfread_digital_records(info.handle, count - 1, 1, 1, &signal, buffers), 1);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], -2);
    EXPECT_EQ(values[2], 0);
    ASSERT_EQ(edfseek(info.handle, 0, (count - 1) * samples + 1, EDFSEEK_SET),
              (count - 1) * samples + 1);
    ASSERT_EQ(edfread_digital_samples(info.handle, 0, 1, values.data()), 1);
    EXPECT_EQ(values[0], -2);
    edfclose_file(info.handle);
}

// A path is UTF-8 on every platform: the file is created under that name, and every operation
// finds it again.
TEST(FileNames, Utf8Names) {
    close_all_handles guard;
    temp_dir dir;
    const std::string folder = utf8(dir.path());
    const std::string cafe = folder + "/caf\xc3\xa9.edf";
    const std::string copy = folder + "/\xd0\xba\xd0\xbe\xd0\xbf\xd0\xb8\xd1\x8f \xe2\x82\xac.edf";
    ASSERT_EQ(write_recording(cafe), 0);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(utf8(entry.path().filename()));
    }
    EXPECT_EQ(names, std::vector<std::string>{"caf\xc3\xa9.edf"});

    edf_header_info info{};
    ASSERT_EQ(edfopen_file_readonly(cafe.c_str(), &info, EDF_READ_ALL_ANNOTATIONS), 0);
    EXPECT_EQ(edf_is_file_used(cafe.c_str()), 1);
    edfclose_file(info.handle);
    EXPECT_EQ(edf_check_file(cafe.c_str(), nullptr, 0), 0);
    ASSERT_EQ(edf_anonymize_file(cafe.c_str(), copy.c_str(), 0), 0);
    EXPECT_EQ(size_of(copy), size_of(cafe));
    ASSERT_EQ(edf_continuous_copy(copy.c_str(), cafe.c_str(), 1), 0);
    EXPECT_EQ(edf_anonymize_file(cafe.c_str(), nullptr, 0), 0);
    EXPECT_TRUE(std::filesystem::exists(from_utf8(cafe)));
}
