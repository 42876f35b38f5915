// edfinfo, run as a program on files that the writer makes: the text report, the JSON report
// parsed back (with nlohmann-json), the CSV samples, the SVG plot parsed (with libxml2) and
// its number of points, and the error lines and exit statuses. The JSON and XML parsers are
// independent of the inspector's own writers on purpose: they catch what the same author's
// parser would let pass.
#include "child_processes.h"
#include "reader_test_files.h"
#include "test_files.h"

#include "recording/edf.h"

#include <gtest/gtest.h>
#ifdef RECORDING_TESTS_HAVE_LIBXML2
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#endif
#include <nlohmann/json.hpp>

#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef EDFINFO_PATH

namespace {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with the given arguments in `directory`, standard output and standard error
// going to files there, and returns its exit status and both outputs.
// (On Windows both are read through pipes, which show as well that nothing turns a line feed
// into CR LF.)
run_result run_program(const std::string &program, const std::vector<std::string> &arguments,
                       const temp_dir &directory) {
#ifdef _WIN32
    const child_processes::program_result r =
        child_processes::run_program(program, arguments, utf8_path(directory.path()));
    return {r.status, r.out, r.err};
#else
    const std::string out_path = directory.file("stdout.txt");
    const std::string err_path = directory.file("stderr.txt");
    std::vector<std::string> all = {program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(directory.path().c_str()) != 0) {
            _exit(127);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    run_result result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = file_bytes(out_path);
    result.err = file_bytes(err_path);
    return result;
#endif
}

run_result edfinfo(const std::vector<std::string> &arguments, const temp_dir &directory) {
    return run_program(EDFINFO_PATH, arguments, directory);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The value of a "Title:   value" line of the text report.
std::string report_value(const std::string &report, const std::string &title) {
    for (const std::string &line : lines_of(report)) {
        if (line.rfind(title + ":", 0) == 0) {
            const std::size_t start = line.find_first_not_of(' ', title.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "<missing>";
}

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

#ifdef RECORDING_TESTS_HAVE_LIBXML2
// An SVG document parsed by libxml2, with XPath queries over it (prefix "svg" for the SVG
// namespace).
class svg_document {
  public:
    explicit svg_document(const std::string &text) {
        doc_ = xmlReadMemory(text.data(), static_cast<int>(text.size()), "plot.svg", nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (doc_ == nullptr) {
            const xmlError *e = xmlGetLastError();
            problem_ = e != nullptr && e->message != nullptr ? e->message : "not well-formed";
            return;
        }
        const xmlNode *root = xmlDocGetRootElement(doc_);
        if (root == nullptr || xmlStrcmp(root->name, BAD_CAST "svg") != 0 || root->ns == nullptr ||
            xmlStrcmp(root->ns->href, BAD_CAST svg_namespace) != 0) {
            problem_ = "the root element is not an SVG <svg>";
        }
        context_ = xmlXPathNewContext(doc_);
        xmlXPathRegisterNs(context_, BAD_CAST "svg", BAD_CAST svg_namespace);
    }
    ~svg_document() {
        xmlXPathFreeContext(context_);
        xmlFreeDoc(doc_);
    }
    svg_document(const svg_document &) = delete;
    svg_document &operator=(const svg_document &) = delete;

    // Empty when the document is well-formed XML with an SVG root; otherwise the reason.
    const std::string &problem() const {
        return problem_;
    }
    // The string value of an XPath expression ("" when the document did not parse).
    std::string text(const std::string &expression) const {
        std::string value;
        if (context_ != nullptr) {
            xmlXPathObject *o = xmlXPathEvalExpression(BAD_CAST expression.c_str(), context_);
            xmlChar *s = o != nullptr ? xmlXPathCastToString(o) : nullptr;
            value = s != nullptr ? reinterpret_cast<const char *>(s) : "";
            xmlFree(s);
            xmlXPathFreeObject(o);
        }
        return value;
    }
    // The text content of every node that an XPath expression selects.
    std::vector<std::string> texts(const std::string &expression) const {
        std::vector<std::string> values;
        xmlXPathObject *o = context_ != nullptr
                                ? xmlXPathEvalExpression(BAD_CAST expression.c_str(), context_)
                                : nullptr;
        if (o != nullptr && o->type == XPATH_NODESET && o->nodesetval != nullptr) {
            for (int i = 0; i < o->nodesetval->nodeNr; i++) {
                xmlChar *s = xmlNodeGetContent(o->nodesetval->nodeTab[i]);
                values.emplace_back(s != nullptr ? reinterpret_cast<const char *>(s) : "");
                xmlFree(s);
            }
        }
        xmlXPathFreeObject(o);
        return values;
    }
    std::size_t count(const std::string &expression) const {
        return static_cast<std::size_t>(std::stoul(text("count(" + expression + ")")));
    }

  private:
    static constexpr const char *svg_namespace = "http://www.w3.org/2000/svg";
    xmlDoc *doc_ = nullptr;
    xmlXPathContext *context_ = nullptr;
    std::string problem_;
};

// The number of "x,y" points of the trace of an SVG plot.
std::size_t trace_point_count(const svg_document &svg) {
    return words_of(svg.text("string(//svg:*[@class='trace']/@points)")).size();
}

std::size_t annotation_mark_count(const svg_document &svg) {
    return svg.count("//svg:g[@class='annotation']");
}

bool is_valid_utf8(const std::string &text) {
    return xmlCheckUTF8(BAD_CAST text.c_str()) == 1 && text.find('\0') == std::string::npos;
}
#else
// Without libxml2 (the Windows build): the UTF-8 rules checked here, shortest forms only.
bool is_valid_utf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80 ? 1
                         : (c >> 5) == 6 ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (c == 0 || n == 0 || i + n > text.size()) {
            return false;
        }
        uint32_t code = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; k++) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d >> 6) != 2) {
                return false;
            }
            code = (code << 6) | (d & 0x3f);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += n;
    }
    return true;
}
#endif

std::size_t count_of(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        count++;
    }
    return count;
}

double signal0_value(int i) {
    return (i % 50) * 1.5 - 30.0;
}
double signal1_value(int i) {
    return i * 0.5;
}

// A six-second EDF+ file with two signals, every identification field set, a start with a
// sub-second part, and annotations with UTF-8 text, bytes that are not UTF-8, markup
// characters and (patched in after writing) a tab and a line feed.
std::string write_small_file(const temp_dir &directory) {
    const std::string path = directory.file("small.edf");
    const int h = edfopen_file_writeonly(path.c_str(), EDF_FILETYPE_EDFPLUS, 2);
    EXPECT_GE(h, 0);
    edf_set_samplefrequency(h, 0, 100);
    edf_set_digital_maximum(h, 0, 1000);
    edf_set_digital_minimum(h, 0, -1000);
    edf_set_physical_maximum(h, 0, 100.0);
    edf_set_physical_minimum(h, 0, -100.0);
    edf_set_physical_dimension(h, 0, "uV");
    edf_set_label(h, 0, "EEG Fz");
    edf_set_prefilter(h, 0, "HP:0.1Hz");
    edf_set_samplefrequency(h, 1, 10);
    edf_set_digital_maximum(h, 1, 1000);
    edf_set_digital_minimum(h, 1, 0);
    edf_set_physical_maximum(h, 1, 100.0);
    edf_set_physical_minimum(h, 1, 0.0);
    edf_set_physical_dimension(h, 1, "degC");
    edf_set_label(h, 1, "Temp");
    edf_set_startdatetime(h, 2021, 3, 4, 5, 6, 7);
    edf_set_subsecond_starttime(h, 2500000);
    edf_set_patientcode(h, "P-7");
    edf_set_sex(h, EDF_MALE);
    edf_set_birthdate(h, 1980, 12, 31);
    edf_set_patientname(h, "Jane Roe");
    edf_set_admincode(h, "ADM7");
    edf_set_technician(h, "Tech A");
    edf_set_equipment(h, "Amp 2");
    edfwrite_annotation_utf8_us(h, 0, -1, "Recording starts");
    edfwrite_annotation_utf8_us(h, 1500000, 500000,
                                "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd "
                                "\xe2\x9c\x93");
    edfwrite_annotation_utf8_us(h, 2000000, -1, "bad ~~ bytes");
    edfwrite_annotation_utf8_us(h, 2500000, -1, "a<b & \"c\" 'd'");
    edfwrite_annotation_utf8_us(h, 2750000, -1, "ctl_tab_lf");
    // The writer stores one annotation per data record: six records hold all five.
    for (int record = 0; record < 6; record++) {
        double samples0[100];
        double samples1[10];
        for (int i = 0; i < 100; i++) {
            samples0[i] = signal0_value(record * 100 + i);
        }
        for (int i = 0; i < 10; i++) {
            samples1[i] = signal1_value(record * 10 + i);
        }
        EXPECT_EQ(edfwrite_physical_samples(h, samples0), 0);
        EXPECT_EQ(edfwrite_physical_samples(h, samples1), 0);
    }
    EXPECT_EQ(edfclose_file(h), 0);

    // The writer turns control bytes into '.', but a reader accepts tab and line feed in an
    // annotation text: put them into the file directly.
    const std::string bytes = file_bytes(path);
    const std::size_t at = bytes.find("ctl_tab_lf");
    EXPECT_NE(at, std::string::npos);
    reader_test::patch_bytes(path, static_cast<int64_t>(at), "ctl\ttab\nlf");
    // Likewise bytes that are not UTF-8, which the writer would store as Latin-1 characters.
    const std::size_t bad = bytes.find("bad ~~");
    EXPECT_NE(bad, std::string::npos);
    reader_test::patch_bytes(path, static_cast<int64_t>(bad), "bad \xff\xfe");
    return path;
}

const char *const greek_text = "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd \xe2\x9c\x93";

} // namespace

TEST(Inspector, TextReportShowsHeaderSignalsAndAnnotations) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    const run_result r = edfinfo({path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string &report = r.out;
    EXPECT_EQ(report_value(report, "Type"), "EDF+");
    EXPECT_EQ(report_value(report, "Start"), "2021-03-04 05:06:07.2500000");
    EXPECT_EQ(report_value(report, "Duration"), "6 s");
    EXPECT_EQ(report_value(report, "Data records"), "6 of 1 s");
    EXPECT_EQ(report_value(report, "Patient code"), "P-7");
    EXPECT_EQ(report_value(report, "Sex"), "Male");
    EXPECT_EQ(report_value(report, "Birthdate"), "1980-12-31");
    EXPECT_EQ(report_value(report, "Patient name"), "Jane Roe");
    EXPECT_EQ(report_value(report, "Admin code"), "ADM7");
    EXPECT_EQ(report_value(report, "Technician"), "Tech A");
    EXPECT_EQ(report_value(report, "Equipment"), "Amp 2");
    EXPECT_EQ(report_value(report, "Signals"), "2");
    EXPECT_EQ(report_value(report, "Annotations"), "5");

    const std::vector<std::string> lines = lines_of(report);
    const auto line_with = [&lines](const std::string &part) {
        for (const std::string &line : lines) {
            if (line.find(part) != std::string::npos) {
                return line;
            }
        }
        return std::string("<missing ") + part + ">";
    };
    EXPECT_EQ(words_of(line_with("EEG Fz")),
              (std::vector<std::string>{"0", "EEG", "Fz", "uV", "-100", "100", "-1000", "1000",
                                        "100", "100"}));
    EXPECT_EQ(words_of(line_with("degC")),
              (std::vector<std::string>{"1", "Temp", "degC", "0", "100", "0", "1000", "10", "10"}));
    EXPECT_EQ(words_of(line_with("Recording starts")),
              (std::vector<std::string>{"0", "-", "Recording", "starts"}));
    EXPECT_EQ(words_of(line_with(greek_text)),
              (std::vector<std::string>{"1.5", "0.5", "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd",
                                        "\xe2\x9c\x93"}));
    // Bytes that are not UTF-8 become U+FFFD; control bytes are shown as escapes.
    EXPECT_EQ(words_of(line_with("bytes")),
              (std::vector<std::string>{"2", "-", "bad", "\xef\xbf\xbd\xef\xbf\xbd", "bytes"}));
    EXPECT_EQ(words_of(line_with("ctl")),
              (std::vector<std::string>{"2.75", "-", "ctl\\ttab\\nlf"}));
    EXPECT_TRUE(is_valid_utf8(report));
}

TEST(Inspector, JsonReportParsesBackWithTheSameValues) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    const run_result r = edfinfo({"--json", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(is_valid_utf8(r.out));
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;

    EXPECT_EQ(doc["file"].get<std::string>(), path);
    EXPECT_EQ(doc["type"].get<std::string>(), "EDF+");
    EXPECT_EQ(doc["start"].get<std::string>(), "2021-03-04T05:06:07.2500000");
    EXPECT_EQ(doc["duration"].get<double>(), 6.0);
    EXPECT_EQ(doc["datarecord_duration"].get<double>(), 1.0);
    EXPECT_EQ(doc["datarecord_count"].get<double>(), 6.0);
    nlohmann::json &id = doc["identification"];
    EXPECT_EQ(id["patient_code"].get<std::string>(), "P-7");
    EXPECT_EQ(id["sex"].get<std::string>(), "Male");
    EXPECT_EQ(id["birthdate"].get<std::string>(), "1980-12-31");
    EXPECT_EQ(id["patient_name"].get<std::string>(), "Jane Roe");
    EXPECT_EQ(id["equipment"].get<std::string>(), "Amp 2");
    EXPECT_FALSE(id.contains("patient"));

    nlohmann::json &signals = doc["signals"];
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0]["label"].get<std::string>(), "EEG Fz");
    EXPECT_EQ(signals[0]["dimension"].get<std::string>(), "uV");
    EXPECT_EQ(signals[0]["physical_min"].get<double>(), -100);
    EXPECT_EQ(signals[0]["physical_max"].get<double>(), 100);
    EXPECT_EQ(signals[0]["digital_min"].get<double>(), -1000);
    EXPECT_EQ(signals[0]["samples_per_record"].get<double>(), 100);
    EXPECT_EQ(signals[0]["sample_rate"].get<double>(), 100);
    EXPECT_EQ(signals[0]["samples"].get<double>(), 600);
    EXPECT_EQ(signals[0]["prefilter"].get<std::string>(), "HP:0.1Hz");
    EXPECT_EQ(signals[1]["label"].get<std::string>(), "Temp");
    EXPECT_EQ(signals[1]["sample_rate"].get<double>(), 10);

    nlohmann::json &annotations = doc["annotations"];
    ASSERT_EQ(annotations.size(), 5u);
    EXPECT_EQ(annotations[0]["onset"].get<double>(), 0.0);
    EXPECT_TRUE(annotations[0]["duration"].is_null());
    EXPECT_EQ(annotations[0]["text"].get<std::string>(), "Recording starts");
    EXPECT_EQ(annotations[1]["onset"].get<double>(), 1.5);
    EXPECT_EQ(annotations[1]["duration"].get<double>(), 0.5);
    EXPECT_EQ(annotations[1]["text"].get<std::string>(), greek_text);
    EXPECT_EQ(annotations[2]["text"].get<std::string>(), "bad \xef\xbf\xbd\xef\xbf\xbd bytes");
    EXPECT_EQ(annotations[3]["text"].get<std::string>(), "a<b & \"c\" 'd'");
    EXPECT_EQ(annotations[4]["onset"].get<double>(), 2.75);
    EXPECT_EQ(annotations[4]["text"].get<std::string>(), "ctl\ttab\nlf");

#ifdef _WIN32
    // Windows names hold no control byte or quotation mark: reverse solidi, as its paths have
    // them, and a letter beyond the ANSI code page.
    std::string odd = dir.file("odd \xc5\x8b"
                               "ame.edf");
    std::replace(odd.begin(), odd.end(), '/', '\\');
#else
    // A file name with a control byte, a quotation mark and a reverse solidus.
    const std::string odd = dir.file("odd\x01\"name\\.edf");
#endif
    std::filesystem::copy_file(path_of(path), path_of(odd));
    const run_result o = edfinfo({"--json", odd}, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.find('\x01'), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(o.out)["file"].get<std::string>(), odd);
}

TEST(Inspector, CsvHasOneLinePerSampleOfTheWindow) {
    temp_dir dir;
    const std::string path = write_small_file(dir);

    run_result r = edfinfo({"--samples", "0", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 601u);
    EXPECT_EQ(lines[0], "time,value");
    for (const int i : {0, 1, 49, 50, 199, 599}) {
        const std::string &line = lines[static_cast<std::size_t>(i) + 1];
        const std::size_t comma = line.find(',');
        ASSERT_NE(comma, std::string::npos) << line;
        EXPECT_NEAR(std::stod(line.substr(0, comma)), i / 100.0, 1e-12) << line;
        EXPECT_NEAR(std::stod(line.substr(comma + 1)), signal0_value(i), 1e-9) << line;
    }

    // From 1 s up to, not including, 2 s of the 10 Hz signal: samples 10 to 19.
    r = edfinfo({"--samples=1", "--from", "1", "--to=2", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[1], "1,5");
    EXPECT_EQ(lines[10], "1.9,9.5");

    // Limits between samples: 0.005 to 0.03 s of the 100 Hz signal holds 0.01 and 0.02 s.
    r = edfinfo({"--samples", "0", "--from", "0.005", "--to", "0.03", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, 5), "0.01,");
    EXPECT_EQ(lines[2].substr(0, 5), "0.02,");

    // A window past the end holds no samples.
    r = edfinfo({"--samples", "0", "--from", "10", path}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "time,value\n");
}

#ifndef RECORDING_TESTS_HAVE_LIBXML2
TEST(Inspector, SvgIsWellFormedWithOnePointPerSampleAndEscapedMarks) {
    GTEST_SKIP() << "libxml2 is not built for this target: no SVG parser";
}
#else
TEST(Inspector, SvgIsWellFormedWithOnePointPerSampleAndEscapedMarks) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    const run_result r = edfinfo({"--plot", "0", "--svg", dir.file("small.svg"), path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const svg_document svg(file_bytes(dir.file("small.svg")));
    ASSERT_EQ(svg.problem(), "");
    EXPECT_EQ(trace_point_count(svg), 600u);
    EXPECT_EQ(annotation_mark_count(svg), 5u);
    const auto has = [](const std::vector<std::string> &texts, const std::string &text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    EXPECT_TRUE(has(svg.texts("//svg:g[@class='annotation']/svg:text"), "a<b & \"c\" 'd'"));
    EXPECT_TRUE(has(svg.texts("//svg:text"), "EEG Fz (uV)"));
    EXPECT_TRUE(has(svg.texts("//svg:text"), "time (s)"));
}
#endif

TEST(Inspector, ReportsOtherFileTypes) {
    temp_dir dir;
    // A BDF+ file from the writer.
    const std::string bdf = dir.file("a.bdf");
    const int h = open_configured(bdf, 1, 8, true);
    ASSERT_GE(h, 0);
    edf_set_label(h, 0, "Pleth");
    const double samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(edfwrite_physical_samples(h, samples), 0);
    ASSERT_EQ(edfclose_file(h), 0);
    run_result r = edfinfo({bdf}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Type"), "BDF+");
    EXPECT_EQ(report_value(r.out, "Annotations"), "0");

    // A plain EDF file, made byte by byte: its identification is two free texts.
    reader_test::file_spec layout;
    layout.reserved = "";
    layout.patient = "Patient X <42>";
    layout.recording = "Lab 3 & co";
    layout.start_date = "24.12.99";
    layout.start_time = "23.59.58";
    layout.signals = {{"Resp", 4, -100, 100, "-100", "100", "mV"}};
    std::string bytes = reader_test::header_bytes(layout, 2);
    for (int i = 0; i < 8; i++) {
        bytes += reader_test::sample16(i * 10 - 40);
    }
    const std::string edf = dir.file("plain.edf");
    reader_test::write_bytes(edf, bytes);
    r = edfinfo({edf}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Type"), "EDF");
    EXPECT_EQ(report_value(r.out, "Start"), "1999-12-24 23:59:58.0000000");
    EXPECT_EQ(report_value(r.out, "Patient"), "Patient X <42>");
    EXPECT_EQ(report_value(r.out, "Recording"), "Lab 3 & co");
    EXPECT_EQ(report_value(r.out, "Rate (Hz)"), "<missing>");

    r = edfinfo({"--json", edf}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["type"].get<std::string>(), "EDF");
    EXPECT_EQ(doc["identification"]["patient"].get<std::string>(), "Patient X <42>");
    EXPECT_EQ(doc["identification"]["recording"].get<std::string>(), "Lab 3 & co");
    EXPECT_FALSE(doc["identification"].contains("patient_code"));
    EXPECT_TRUE(doc["annotations"].empty());
    EXPECT_EQ(doc["signals"][0]["sample_rate"].get<double>(), 4);

    r = edfinfo({"--samples", "0", edf}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{"time,value", "0,-40", "0.25,-30", "0.5,-20", "0.75,-10",
                                        "1,0", "1.25,10", "1.5,20", "1.75,30"}));
}

TEST(Inspector, FilesThatCannotBeOpenedGiveOneLineAndStatus1) {
    temp_dir dir;
    run_result r = edfinfo({dir.file("missing.edf")}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "edfinfo: cannot open '" + dir.file("missing.edf") +
                         "': " + edf_error_text(EDF_ERR_CANNOT_OPEN) + "\n");

    // A broken header: the version field must be "0". (Discontinuous files are read: see the
    // discontinuous inspector tests.)
    const std::string path = write_small_file(dir);
    reader_test::patch_bytes(path, 0, "1");
    r = edfinfo({"--samples", "0", path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "edfinfo: cannot open '" + path + "': " + edf_error_text(EDF_ERR_FORMAT) + "\n");

    // A file shorter than a header.
    reader_test::write_bytes(dir.file("short.edf"), "0       ");
    r = edfinfo({dir.file("short.edf")}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.err).size(), 1u);

    // A picture that cannot be written.
    reader_test::patch_bytes(path, 0, "0");
    r = edfinfo({"--plot", "0", "--svg", dir.file("no/such/dir.svg"), path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("edfinfo: cannot write '", 0), 0u) << r.err;
}

TEST(Inspector, BadUsageGivesTheUsageAndStatus2) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--bogus", path},
        {"--samples", "0", path, path},
        {"--samples", path},
        {"--samples", "x", path},
        {"--samples", "-1", path},
        {"--samples", "2", path}, // the file has signals 0 and 1 only
        {"--plot", "0", path},    // no --svg
        {"--svg", dir.file("x.svg"), path},
        {"--json", "--samples", "0", path},
        {"--from", "1", path},
        {"--samples", "0", "--from", "2", "--to", "1", path},
        {"--samples", "0", "--from", "abc", path},
        {"--samples", "0", "--to", "nan", path},
    };
    for (const auto &arguments : bad) {
        const run_result r = edfinfo(arguments, dir);
        std::string shown;
        for (const auto &a : arguments) {
            shown += a + " ";
        }
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("edfinfo: ", 0), 0u) << shown << r.err;
        EXPECT_NE(r.err.find("usage: edfinfo"), std::string::npos) << shown;
    }
    const run_result help = edfinfo({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: edfinfo", 0), 0u);
}

// A plot window too small to draw is refused as a usage error; one that the end of the file
// shortens is drawn over one tick, with finite positions throughout.
TEST(Inspector, TinyPlotWindows) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    const struct {
        std::vector<std::string> window;
        int status;
    } cases[] = {{{"--from", "0", "--to", "1e-323"}, 2},
                 {{"--to", "1e-300"}, 2},
                 {{"--from", "1", "--to", "1.00000001"}, 2},
                 {{"--from", "0.1", "--to", "0.1000001"}, 0},
                 {{"--from", "6"}, 0}, // the end of the 6-second file
                 {{"--from", "1000"}, 0},
                 {{"--from", "5.99999999"}, 0}};
    for (const auto &c : cases) {
        std::vector<std::string> arguments = {"--plot", "0", "--svg", dir.file("t.svg")};
        arguments.insert(arguments.end(), c.window.begin(), c.window.end());
        arguments.push_back(path);
        std::filesystem::remove(dir.file("t.svg"));
        const run_result r = edfinfo(arguments, dir);
        EXPECT_EQ(r.status, c.status) << c.window.back() << r.err;
        if (c.status == 0) {
            const std::string svg = file_bytes(dir.file("t.svg"));
#ifdef RECORDING_TESTS_HAVE_LIBXML2
            EXPECT_EQ(svg_document(svg).problem(), "") << c.window.back();
#endif
            EXPECT_EQ(svg.find("nan"), std::string::npos) << c.window.back();
            EXPECT_EQ(svg.find("inf"), std::string::npos) << c.window.back();
        }
    }
}

// Header numbers are printed as the shortest texts that read back as the values the library
// reports: the text of the header itself, when the library reads it as its nearest double.
TEST(Inspector, HeaderNumbersAreShortestTexts) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    auto header = std::make_unique<edf_header_info>();
    const std::pair<const char *, const char *> numbers[] = {
        {"6.81", "6.81"},  {"0.1", "0.1"},           {"-0.3", "-0.3"},
        {"1E-3", "0.001"}, {"123456.7", "123456.7"}, {"2.675", "2.675"}};
    for (const auto &[text, expected] : numbers) {
        // Physical maximum of signal 0 (three signals: 112 bytes per signal before it).
        reader_test::patch_bytes(path, 256 + 3 * 112, field(text, 8));
        ASSERT_EQ(edfopen_file_readonly(path.c_str(), header.get(), 0), 0) << text;
        const double value = header->signals[0].physical_max;
        edfclose_file(header->handle);
        const run_result r = edfinfo({"--json", path}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string key = "\"physical_max\": ";
        const std::size_t at = r.out.find(key);
        ASSERT_NE(at, std::string::npos);
        const std::size_t begin = at + key.size();
        const std::string printed = r.out.substr(begin, r.out.find_first_of(",}", begin) - begin);
        char shortest[64];
        const auto end = std::to_chars(shortest, shortest + sizeof shortest, value).ptr;
        EXPECT_EQ(printed, std::string(shortest, end)) << text;
        if (value == std::strtod(text, nullptr)) { // the header's text read as the nearest double
            EXPECT_EQ(printed, expected);
        }
        const run_result t = edfinfo({path}, dir);
        EXPECT_NE(t.out.find(" " + printed + " "), std::string::npos) << text << t.out;
    }
}

// The sweep program's file, made once for the tests below.
class InspectorSweep : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new temp_dir;
        const run_result r = run_program(SWEEP_GENERATOR_PATH, {}, *directory_);
        ASSERT_EQ(r.status, 0) << r.out;
    }
    static void TearDownTestSuite() {
        delete directory_;
        directory_ = nullptr;
    }
    static std::string sweep_path() {
        return directory_->file("freq_sweep.edf");
    }
    static temp_dir *directory_;
};

temp_dir *InspectorSweep::directory_ = nullptr;

TEST_F(InspectorSweep, Reports) {
    temp_dir dir;
    run_result r = edfinfo({sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Duration"), "300 s");
    EXPECT_EQ(report_value(r.out, "Patient name"),
              "Logarithmic frequency sweep from 10Hz to 4095Hz");
    EXPECT_EQ(report_value(r.out, "Equipment"), "Software generated file");
    EXPECT_EQ(report_value(r.out, "Annotations"), "33");

    r = edfinfo({"--json", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["signals"][0]["label"].get<std::string>(), "sweep");
    EXPECT_EQ(doc["signals"][0]["sample_rate"].get<double>(), 8192);
    EXPECT_EQ(doc["signals"][0]["samples"].get<double>(), 2457600);
    ASSERT_EQ(doc["annotations"].size(), 33u);
    EXPECT_EQ(doc["annotations"][1]["text"].get<std::string>(), "1.049134Hz");
    EXPECT_EQ(doc["annotations"][32]["onset"].get<double>(), 300);
    EXPECT_EQ(doc["annotations"][32]["text"].get<std::string>(), "Recording ends");
}

TEST_F(InspectorSweep, CsvOfTheWholeFileAndOfAWindow) {
    temp_dir dir;
    run_result r = edfinfo({"--samples", "0", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "\n"), 2457601u);
    const std::size_t last_line = r.out.rfind('\n', r.out.size() - 2) + 1;
    EXPECT_EQ(r.out.substr(last_line, r.out.find(',', last_line) - last_line),
              "299.9998779296875"); // sample 2457599 at 8192 Hz

    r = edfinfo({"--samples", "0", "--from", "0", "--to", "2", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 16385u);
    EXPECT_EQ(lines[2].substr(0, lines[2].find(',')), "0.0001220703125");
    // The first sample is 200 × sin(2π × 1.0205 / 8192), about 0.1565, within one step of
    // the 16-bit scale.
    EXPECT_NEAR(std::stod(lines[1].substr(lines[1].find(',') + 1)), 0.1565, 800.0 / 65535);
}

#ifndef RECORDING_TESTS_HAVE_LIBXML2
TEST_F(InspectorSweep, SvgEnvelopeHasTwoPointsPerColumn) {
    GTEST_SKIP() << "libxml2 is not built for this target: no SVG parser";
}
#else
TEST_F(InspectorSweep, SvgEnvelopeHasTwoPointsPerColumn) {
    temp_dir dir;
    run_result r = edfinfo({"--plot", "0", "--svg", "whole.svg", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string whole_text = file_bytes(dir.file("whole.svg"));
    const svg_document whole(whole_text);
    ASSERT_EQ(whole.problem(), "");
    EXPECT_EQ(trace_point_count(whole), 2400u); // minimum and maximum of 1200 columns
    // 33 annotations, of which two pairs share their onsets (0 s and 300 s).
    EXPECT_EQ(annotation_mark_count(whole), 31u);
    EXPECT_EQ(whole.count("//svg:text[. = 'sweep (uV)']"), 1u);
    EXPECT_NE(whole_text.find("Recording ends"), std::string::npos);

    // Two seconds are still more samples than columns; a tenth of a second is not.
    r = edfinfo({"--plot", "0", "--svg", "two.svg", "--from", "0", "--to", "2", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const svg_document two(file_bytes(dir.file("two.svg")));
    ASSERT_EQ(two.problem(), "");
    EXPECT_EQ(trace_point_count(two), 2400u);
    EXPECT_EQ(annotation_mark_count(two), 1u);

    r = edfinfo(
        {"--plot", "0", "--svg", "tenth.svg", "--from", "100", "--to", "100.1", sweep_path()}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const svg_document tenth(file_bytes(dir.file("tenth.svg")));
    ASSERT_EQ(tenth.problem(), "");
    EXPECT_EQ(trace_point_count(tenth), 820u); // samples 819200 to 820019
}
#endif

// A file as a recording program leaves it when it dies, with a start time written with colons:
// --check lists the problems, the other modes read it tolerantly and say so, --repair writes
// a copy that conforms and leaves the file as it was.
TEST(Inspector, CheckRepairAndTolerantFallback) {
    temp_dir dir;
    const std::string path = write_small_file(dir);
    // Its one flaw: an annotation text that is not UTF-8, which the strict open hands out as
    // it stands.
    run_result r = edfinfo({"--check", path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).size(), 2u) << r.out;
    EXPECT_NE(r.out.find(", annotation text, signal 2, record 2, repaired, found \"bad \\xFF\\xFE"),
              std::string::npos)
        << r.out;
    reader_test::patch_bytes(path, 176, "05:06:07");
    reader_test::patch_bytes(path, 236, "-1      ");
    std::string bytes = file_bytes(path);
    bytes += "tail";
    reader_test::write_bytes(path, bytes);

    r = edfinfo({"--check", path}, dir);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], path + ": 4 problems");
    EXPECT_EQ(lines[1].rfind("offset 176, start time, signal -, record -, repaired, found "
                             "\"05:06:07\": ",
                             0),
              0u)
        << lines[1];
    EXPECT_NE(lines[2].find("number of data records"), std::string::npos);
    EXPECT_NE(lines[3].find("incomplete data record"), std::string::npos);
    EXPECT_NE(lines[4].find("annotation text"), std::string::npos);

    r = edfinfo({"--check", "--json", path}, dir);
    EXPECT_EQ(r.status, 1);
    nlohmann::json problems;
    ASSERT_NO_THROW(problems = nlohmann::json::parse(r.out)) << r.out;
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[3]["code"].get<double>(), 0);
    EXPECT_EQ(problems[0]["field"].get<std::string>(), "start time");
    EXPECT_EQ(problems[0]["offset"].get<double>(), 176);
    EXPECT_EQ(problems[2]["record"].get<double>(), 6);
    EXPECT_EQ(problems[2]["action"].get<double>(), EDF_PROBLEM_REPAIRED);

    r = edfinfo({path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Data records"), "6 of 1 s");
    EXPECT_EQ(report_value(r.out, "Problems"), "4, read past as described");
    r = edfinfo({"--json", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(doc["problems"].size(), 4u);
    EXPECT_EQ(doc["datarecord_count"].get<double>(), 6);
    r = edfinfo({"--samples", "1", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out).size(), 61u);
    EXPECT_EQ(r.err.rfind("edfinfo: note: ", 0), 0u) << r.err;

    const std::string copy = dir.file("copy.edf");
    r = edfinfo({"--repair", copy, path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out).size(), 5u);
    EXPECT_EQ(edfinfo({"--check", copy}, dir).status, 0);
    EXPECT_EQ(file_bytes(copy).size(), bytes.size() - 4);
    EXPECT_EQ(edfinfo({"--repair", copy, path}, dir).status, 1);
    EXPECT_EQ(edfinfo({"--repair", copy, "--force", path}, dir).status, 0);
    EXPECT_EQ(edfinfo({"--repair", path, "--force", path}, dir).status, 1);
    EXPECT_EQ(file_bytes(path), bytes);
    EXPECT_EQ(edfinfo({"--force", path}, dir).status, 2);
}

#endif // EDFINFO_PATH

#ifdef EDFINFO_PATH
// --recover says what it will do, does it, and says so; a file that needs nothing is left,
// and one with other problems is refused.
TEST(Inspector, RecoverMendsAFileWhoseWriterDied) {
    temp_dir dir;
    const std::string path = dir.file("died.edf");
    const int h = open_configured(path, 1, 4);
    const int samples[4] = {1, 2, 3, 4};
    for (int r = 0; r < 3; r++) {
        ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    }
    const std::string before = file_bytes(path);
    ASSERT_EQ(edfclose_file(h), 0);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << before << "partial";

    run_result r = edfinfo({"--recover", path}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{
                  path + ": 3 complete data records of 128 bytes after a header of 768 bytes",
                  "  record count: -1 -> 3",
                  "  cut 7 bytes of a partial record (file 1159 -> 1152 bytes)", "  done"}));
    r = edfinfo({"--recover", path}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, path + ": nothing to recover: 3 complete data records, as the header says\n");
    r = edfinfo({"--recover", dir.file("none.edf")}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(edfinfo({"--recover", "--json", path}, dir).status, 2);

    // Any other problem: refused, named, the file unchanged, and --repair pointed to (unless
    // no copy can be made either).
    std::string bad_date = before + "partial";
    bad_date[170] = bad_date[173] = ':'; // dd:mm:yy, as some devices write it
    const struct {
        std::string bytes;
        const char *named;
        const char *pointer;
    } refused[] = {
        {bad_date, "start date", "edfinfo --repair OUT FILE writes a repaired copy to OUT"},
        {before.substr(0, 768) + "partial", "data records", "a repaired copy cannot be made"},
    };
    for (const auto &c : refused) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        r = edfinfo({"--recover", path}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("recovery mends only the record count"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.pointer), std::string::npos) << r.err;
        EXPECT_EQ(file_bytes(path), c.bytes);
    }
}
#endif // EDFINFO_PATH

#ifdef EDFINFO_PATH
// A discontinuous file conforms: --check says so, with status 0, and says that it is
// discontinuous; with another problem it lists that one (status 1) and still says it. The
// report and the note of --samples count only what breaks the format.
TEST(Inspector, CheckSaysADiscontinuousFileConforms) {
    temp_dir dir;
    const std::string path = dir.file("d.edf");
    const int h = open_configured(path, 1, 4);
    ASSERT_EQ(edf_set_discontinuous(h), 0);
    const int samples[4] = {1, 2, 3, 4};
    for (int r = 0; r < 3; r++) {
        if (r == 2) {
            ASSERT_EQ(edf_set_record_start(h, 5000000), 0);
        }
        ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);

    run_result r = edfinfo({"--check", path}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, path + " conforms to the format; it is discontinuous (EDF+D): its records "
                            "may leave gaps.\n");
    r = edfinfo({"--check", "--json", path}, dir);
    EXPECT_EQ(r.status, 0);
    nlohmann::json problems;
    ASSERT_NO_THROW(problems = nlohmann::json::parse(r.out)) << r.out;
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0]["action"].get<double>(), EDF_PROBLEM_CONFORMS);
    EXPECT_EQ(problems[0]["code"].get<double>(), EDF_ERR_DISCONTINUOUS);
    r = edfinfo({path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Problems"), "<missing>");
    r = edfinfo({"--samples", "0", path}, dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = edfinfo({"--repair", dir.file("copy.edf"), path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out).front(), path + ": 0 repairs, written to " + dir.file("copy.edf"));
    EXPECT_EQ(file_bytes(dir.file("copy.edf")), file_bytes(path));

    reader_test::patch_bytes(path, 256 + 2 * 96, "\xb5V");
    r = edfinfo({"--check", path}, dir);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], path + ": 1 problem");
    EXPECT_NE(lines[1].find("physical dimension"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], path + " is discontinuous (EDF+D), as the format allows: its records may "
                               "leave gaps");
    r = edfinfo({path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Problems"), "1, read past as described");
}

// A writer closed before its first sample leaves a file of the header alone: --check names
// it, the report shows an empty recording, and --recover and --repair say why they cannot
// help.
TEST(Inspector, CheckNamesAHeaderOnlyFile) {
    temp_dir dir;
    const std::string path = dir.file("empty.edf");
    ASSERT_EQ(edfclose_file(open_configured(path, 1, 4)), 0);
    run_result r = edfinfo({"--check", path}, dir);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], path + ": 1 problem");
    EXPECT_EQ(lines[1].rfind("offset 768, data records, signal -, record -, repaired, found "
                             "\"0       \": The file holds the header alone",
                             0),
              0u)
        << lines[1];
    r = edfinfo({path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_value(r.out, "Data records"), "0 of 1 s");
    EXPECT_EQ(report_value(r.out, "Duration"), "0 s");
    EXPECT_EQ(report_value(r.out, "Problems"), "1, read past as described");
    r = edfinfo({"--json", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(doc["datarecord_count"].get<double>(), 0);
    EXPECT_EQ(doc["segments"].size(), 1u);
    r = edfinfo({"--samples", "0", path}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "time,value\n");

    const std::string before = file_bytes(path);
    r = edfinfo({"--recover", path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("data records"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a repaired copy cannot be made"), std::string::npos) << r.err;
    EXPECT_EQ(file_bytes(path), before);
    r = edfinfo({"--repair", dir.file("copy.edf"), path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("copy.edf")));
}
#endif // EDFINFO_PATH
