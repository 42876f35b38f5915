// Files written by this library read back: the same digital samples, the physical values of
// the signal's conversion pair, and the queued annotations, for every configuration that the
// writer offers.
#include "reader_test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace reader_test;

namespace {

struct signal_setup {
    int samples_per_record;
    int digital_min;
    int digital_max;
    double physical_min;
    double physical_max;
};

struct queued {
    int64_t onset_us;
    int64_t duration_us; // negative: none
    std::string text;
};

struct setup {
    int filetype = EDF_FILETYPE_EDFPLUS;
    int annotation_position = EDF_ANNOTATIONS_AT_END;
    int annotation_signals = 1;
    int subsecond_ticks = 0;
    int duration_10us = 100000; // 1 s
    int records = 3;
    std::vector<signal_setup> signals;
    std::vector<queued> annotations;
    // The queue indexes in the order a reader meets them; empty: queue order.
    std::vector<size_t> read_order;
};

signal_setup edf_signal(int spr) {
    return {spr, -32768, 32767, -3200.0, 3200.0};
}
signal_setup bdf_signal(int spr) {
    return {spr, -8388608, 8388607, -1.0, 1.0};
}

// Writes the file, reads it back and compares everything.
void round_trip(const setup &c) {
    temp_dir dir;
    const std::string path = dir.file(c.filetype == EDF_FILETYPE_EDFPLUS ? "rt.edf" : "rt.bdf");
    const int ns = static_cast<int>(c.signals.size());
    const int handle = edfopen_file_writeonly(path.c_str(), c.filetype, ns);
    ASSERT_GE(handle, 0);
    for (int s = 0; s < ns; s++) {
        const signal_setup &g = c.signals[static_cast<size_t>(s)];
        ASSERT_EQ(edf_set_samplefrequency(handle, s, g.samples_per_record), 0);
        ASSERT_EQ(edf_set_digital_minimum(handle, s, g.digital_min), 0);
        ASSERT_EQ(edf_set_digital_maximum(handle, s, g.digital_max), 0);
        ASSERT_EQ(edf_set_physical_minimum(handle, s, g.physical_min), 0);
        ASSERT_EQ(edf_set_physical_maximum(handle, s, g.physical_max), 0);
        ASSERT_EQ(edf_set_label(handle, s, ("sig" + std::to_string(s)).c_str()), 0);
    }
    ASSERT_EQ(edf_set_startdatetime(handle, 2020, 2, 29, 23, 59, 58), 0);
    ASSERT_EQ(edf_set_subsecond_starttime(handle, c.subsecond_ticks), 0);
    ASSERT_EQ(edf_set_datarecord_duration(handle, c.duration_10us), 0);
    ASSERT_EQ(edf_set_number_of_annotation_signals(handle, c.annotation_signals), 0);
    ASSERT_EQ(edf_set_annotation_signal_position(handle, c.annotation_position), 0);

    // Random digital samples, with the extremes of each range at the start of record 0.
    std::mt19937 random(99);
    std::vector<std::vector<int>> written(static_cast<size_t>(ns));
    for (int r = 0; ns > 0 && r < c.records; r++) {
        for (int s = 0; s < ns; s++) {
            const signal_setup &g = c.signals[static_cast<size_t>(s)];
            std::uniform_int_distribution<int> value(g.digital_min, g.digital_max);
            std::vector<int> samples(static_cast<size_t>(g.samples_per_record));
            for (int i = 0; i < g.samples_per_record; i++) {
                samples[static_cast<size_t>(i)] = value(random);
            }
            if (r == 0) {
                samples[0] = g.digital_min;
                samples[static_cast<size_t>(g.samples_per_record - 1)] = g.digital_max;
            }
            ASSERT_EQ(edfwrite_digital_samples(handle, samples.data()), 0);
            auto &all = written[static_cast<size_t>(s)];
            all.insert(all.end(), samples.begin(), samples.end());
        }
    }
    for (const queued &a : c.annotations) {
        ASSERT_EQ(edfwrite_annotation_utf8_us(handle, a.onset_us, a.duration_us, a.text.c_str()),
                  0);
    }
    ASSERT_EQ(edfclose_file(handle), 0);

    auto hdr = new_header();
    ASSERT_EQ(edfopen_file_readonly(path.c_str(), hdr.get(), EDF_READ_ALL_ANNOTATIONS), 0)
        << "filetype " << hdr->filetype;
    const int h = hdr->handle;
    // Without ordinary signals the writer adds one record per annotation when closing.
    const int64_t records = ns > 0 ? c.records : static_cast<int64_t>(c.annotations.size());
    EXPECT_EQ(hdr->filetype, c.filetype);
    EXPECT_EQ(hdr->ordinary_signal_count, ns);
    EXPECT_EQ(hdr->datarecord_count, records);
    EXPECT_EQ(hdr->datarecord_duration, static_cast<int64_t>(c.duration_10us) * 100);
    EXPECT_EQ(hdr->file_duration, records * c.duration_10us * 100);
    EXPECT_EQ(hdr->start_subsecond, c.subsecond_ticks);
    EXPECT_EQ(hdr->start_year, 2020);
    EXPECT_EQ(hdr->start_second, 58);

    for (int s = 0; s < ns; s++) {
        SCOPED_TRACE("signal " + std::to_string(s));
        const signal_setup &g = c.signals[static_cast<size_t>(s)];
        const edf_signal_info &info = hdr->signals[s];
        EXPECT_EQ(std::string(info.label), pad("sig" + std::to_string(s), 16));
        EXPECT_EQ(info.samples_per_record, g.samples_per_record);
        EXPECT_EQ(info.digital_min, g.digital_min);
        EXPECT_EQ(info.digital_max, g.digital_max);
        const auto &expected = written[static_cast<size_t>(s)];
        ASSERT_EQ(info.samples_in_file, static_cast<int64_t>(expected.size()));

        std::vector<int> digital(expected.size() + 1);
        ASSERT_EQ(edfread_digital_samples(h, s, static_cast<int>(digital.size()), digital.data()),
                  static_cast<int>(expected.size()));
        digital.pop_back();
        EXPECT_EQ(digital, expected);

        const double bit_value = (info.physical_max - info.physical_min) /
                                 static_cast<double>(info.digital_max - info.digital_min);
        const double offset = info.physical_max / bit_value - info.digital_max;
        std::vector<double> values(expected.size());
        ASSERT_EQ(edfrewind(h, s), 0);
        // In pieces that do not line up with the records.
        size_t done = 0;
        while (done < values.size()) {
            const int n = std::min<int>(static_cast<int>(values.size() - done), 37);
            ASSERT_EQ(edfread_physical_samples(h, s, n, values.data() + done), n);
            done += static_cast<size_t>(n);
        }
        for (size_t i = 0; i < expected.size(); i++) {
            ASSERT_EQ(values[i], (static_cast<double>(expected[i]) + offset) * bit_value) << i;
        }
        // The extremes of the digital range give the physical limits.
        if (g.samples_per_record > 1) {
            EXPECT_DOUBLE_EQ(values.front(), g.physical_min);
        }
        EXPECT_DOUBLE_EQ(values[static_cast<size_t>(g.samples_per_record - 1)], g.physical_max);
    }

    // Annotations: all of them, onsets exact to the tick whatever the sub-second start.
    std::vector<size_t> order = c.read_order;
    if (order.empty()) {
        for (size_t i = 0; i < c.annotations.size(); i++) {
            order.push_back(i);
        }
    }
    ASSERT_EQ(hdr->annotation_count, static_cast<int64_t>(order.size()));
    for (size_t i = 0; i < order.size(); i++) {
        SCOPED_TRACE("annotation " + std::to_string(i));
        const queued &q = c.annotations[order[i]];
        edf_annotation a;
        ASSERT_EQ(edf_get_annotation(h, static_cast<int>(i), &a), 0);
        EXPECT_EQ(a.onset, q.onset_us * 10);
        if (q.duration_us < 0) {
            EXPECT_EQ(a.duration, -EDF_TIME_DIMENSION);
            EXPECT_STREQ(a.duration_text, "");
        } else {
            EXPECT_EQ(a.duration, q.duration_us * 10);
            char text[32];
            if (q.duration_us % 1000000 == 0) {
                std::snprintf(text, sizeof text, "%lld",
                              static_cast<long long>(q.duration_us / 1000000));
            } else {
                std::snprintf(text, sizeof text, "%lld.%06lld",
                              static_cast<long long>(q.duration_us / 1000000),
                              static_cast<long long>(q.duration_us % 1000000));
            }
            EXPECT_STREQ(a.duration_text, text);
        }
        EXPECT_EQ(std::string(a.annotation), q.text.substr(0, EDF_ANNOTATION_TEXT_MAX));
    }
    EXPECT_EQ(edfclose_file(h), 0);
}

std::vector<queued> some_annotations(int count) {
    std::vector<queued> list;
    for (int i = 0; i < count; i++) {
        list.push_back({static_cast<int64_t>(i) * 333333, i % 3 == 0 ? -1 : i * 250000,
                        "note " + std::to_string(i)});
    }
    return list;
}

} // namespace

TEST(RoundTrip, FileTypesAndAnnotationPositions) {
    for (const int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        for (const int position :
             {EDF_ANNOTATIONS_AT_END, EDF_ANNOTATIONS_IN_MIDDLE, EDF_ANNOTATIONS_AT_START}) {
            for (const int ns : {1, 3}) {
                SCOPED_TRACE("type " + std::to_string(type) + " position " +
                             std::to_string(position) + " signals " + std::to_string(ns));
                setup c;
                c.filetype = type;
                c.annotation_position = position;
                for (int s = 0; s < ns; s++) {
                    c.signals.push_back(type == EDF_FILETYPE_EDFPLUS ? edf_signal(5 + 10 * s)
                                                                     : bdf_signal(5 + 10 * s));
                }
                c.annotations = some_annotations(3);
                round_trip(c);
            }
        }
    }
}

TEST(RoundTrip, AnnotationSignalCounts) {
    for (const int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        for (const int count : {1, 2, 64}) {
            SCOPED_TRACE("annotation signals " + std::to_string(count));
            setup c;
            c.filetype = type;
            c.annotation_signals = count;
            c.annotation_position = EDF_ANNOTATIONS_IN_MIDDLE;
            c.records = 4;
            c.signals = {edf_signal(8), edf_signal(3)};
            if (type == EDF_FILETYPE_BDFPLUS) {
                c.signals = {bdf_signal(8), bdf_signal(3)};
            }
            // More annotations than places with one annotation signal: the surplus is packed
            // into record 0, after annotation 0.
            c.annotations = some_annotations(count == 64 ? 200 : 6);
            if (count == 1) {
                c.read_order = {0, 4, 5, 1, 2, 3};
            }
            round_trip(c);
        }
    }
}

TEST(RoundTrip, SubsecondStartsAndRecordDurations) {
    for (const int subsecond : {0, 1, 2500000, 9999999, 1234567}) {
        for (const int duration : {100, 2500, 100000, 123456, 6000000}) { // 1 ms to 60 s
            SCOPED_TRACE("subsecond " + std::to_string(subsecond) + " duration " +
                         std::to_string(duration));
            setup c;
            c.subsecond_ticks = subsecond;
            c.duration_10us = duration;
            c.signals = {edf_signal(4)};
            c.annotations = {{0, -1, "start"}, {5, 0, "x"}, {999999, 1, "y"}};
            round_trip(c);
        }
    }
}

TEST(RoundTrip, NoOrdinarySignals) {
    for (const int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        setup c;
        c.filetype = type;
        c.subsecond_ticks = 4000000;
        c.annotations = some_annotations(5);
        round_trip(c);
    }
}

TEST(RoundTrip, ManySignalsWithDifferentSampleCounts) {
    setup c;
    c.records = 5;
    c.annotation_position = EDF_ANNOTATIONS_IN_MIDDLE;
    c.annotation_signals = 3;
    for (int s = 0; s < 300; s++) {
        const int spr = 1 + (s * 37) % 97;
        c.signals.push_back({spr, -1000 - s, 1000 + 3 * s, -1.5 - s, 2.5 + s * 0.25});
    }
    c.annotations = some_annotations(12);
    round_trip(c);
}

TEST(RoundTrip, AnnotationTexts) {
    setup c;
    c.signals = {edf_signal(2)};
    c.records = 6;
    c.annotations = {{0, -1, ""},
                     {1, -1, std::string(40, 'w')},
                     {2, -1, std::string(45, 'v')}, // cut to 40 bytes
                     {3, -1, "caf\xc3\xa9 \xe2\x82\xac"},
                     {4, 12345678901234, "long duration"},
                     {999999999999, 0, "late onset"}};
    round_trip(c);
}
