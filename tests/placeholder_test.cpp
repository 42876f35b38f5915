#include "recording/edf.h"

#include <gtest/gtest.h>

TEST(Version, Is127) {
    EXPECT_EQ(edf_version(), 127);
}
