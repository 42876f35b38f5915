// edf_error_text: a fixed text for every code the library returns, "unknown error" otherwise.
#include "recording/edf.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

TEST(ErrorText, EveryLibraryCodeHasItsOwnText) {
    const int codes[] = {EDF_ERR_NO_MEMORY,
                         EDF_ERR_CANNOT_OPEN,
                         EDF_ERR_FORMAT,
                         EDF_ERR_TOO_MANY_FILES,
                         EDF_ERR_READ,
                         EDF_ERR_ALREADY_OPEN,
                         EDF_ERR_FILETYPE,
                         EDF_ERR_SIGNAL_COUNT,
                         EDF_ERR_DISCONTINUOUS,
                         EDF_ERR_ANNOTATION_MODE,
                         EDF_ERR_NEGATIVE_SIGNAL_COUNT,
                         EDF_ERR_TOO_MANY_SIGNALS,
                         EDF_ERR_SAMPLES_PER_RECORD,
                         EDF_ERR_DIGMIN_IS_DIGMAX,
                         EDF_ERR_DIGMAX_BELOW_DIGMIN,
                         EDF_ERR_PHYSMIN_IS_PHYSMAX,
                         EDF_ERR_RECORD_TOO_LARGE,
                         EDF_ERR_PHYSICAL_VALUE_TEXT,
                         EDF_ERR_NEEDS_COPY,
                         EDF_ERR_ANONYMIZED_VALUE,
                         EDF_ERR_ANNOTATIONS_LOST,
                         EDF_ERR_BEING_WRITTEN,
                         EDF_ERR_WRITE,
                         EDF_ERR_OUTPUT_EXISTS,
                         EDF_ERR_NO_CONTINUOUS_FORM};
    std::set<std::string> texts;
    for (const int code : codes) {
        const char *text = edf_error_text(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_STRNE(text, "unknown error") << code;
        EXPECT_GT(std::string(text).size(), 10u) << code;
        EXPECT_EQ(std::string(text).find('\n'), std::string::npos) << code;
        texts.insert(text);
        // The same pointer every time: the texts are fixed.
        EXPECT_EQ(edf_error_text(code), text);
    }
    EXPECT_EQ(texts.size(), std::size(codes));
}

TEST(ErrorText, NamesTheReason) {
    EXPECT_STREQ(edf_error_text(EDF_ERR_BEING_WRITTEN), "another program is writing it");
    EXPECT_NE(std::string(edf_error_text(EDF_ERR_DISCONTINUOUS)).find("discontinuous"),
              std::string::npos);
    EXPECT_NE(std::string(edf_error_text(EDF_ERR_FORMAT)).find("format"), std::string::npos);
    const std::string minus_one = edf_error_text(-1);
    EXPECT_NE(minus_one.find("memory"), std::string::npos);
    EXPECT_NE(minus_one.find("handle"), std::string::npos);
}

TEST(ErrorText, OtherValuesAreUnknown) {
    for (const int code : {0, 1, 3, -8, -12, -19, -40, -100, INT_MIN, INT_MAX}) {
        EXPECT_STREQ(edf_error_text(code), "unknown error") << code;
    }
}
