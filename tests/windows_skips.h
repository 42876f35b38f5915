// Tests of mechanisms that only POSIX systems have (fork, signals, /dev/full, file size
// limits, permission bits, symbolic links, FIFOs, pseudo-terminals): on Windows each keeps its
// name and is skipped with the reason, so that the skip shows in the output.
#pragma once

#include <gtest/gtest.h>

#define SKIPPED_ON_WINDOWS(suite, name, reason)                                                    \
    TEST(suite, name) {                                                                            \
        GTEST_SKIP() << "POSIX only: " << (reason);                                                \
    }
#define SKIPPED_ON_WINDOWS_F(fixture, name, reason)                                                \
    TEST_F(fixture, name) {                                                                        \
        GTEST_SKIP() << "POSIX only: " << (reason);                                                \
    }
