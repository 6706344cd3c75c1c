#include "platform/text_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace clearwick {
namespace {

TEST(JoinLinesCrLf, EndsEveryLineWithCrLfAndAddsNothingElse) {
    const std::string_view lines[] = {"@echo off", "", "cd C:\\"};
    char out[32];
    const std::size_t n = JoinLinesCrLf(lines, 3, out, sizeof out);
    EXPECT_EQ(std::string(out, n), "@echo off\r\n\r\ncd C:\\\r\n");
    EXPECT_EQ(JoinLinesCrLf(lines, 0, out, sizeof out), 0u);
}

TEST(JoinLinesCrLf, RefusesWhatDoesNotFitAndWritesNothingPastTheEnd) {
    const std::string_view lines[] = {"abc", "de"};
    // "abc\r\nde\r\n" is 9 bytes: 9 fits exactly, 8 does not.
    char out[10];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(JoinLinesCrLf(lines, 2, out, 9), 9u);
    EXPECT_EQ(out[9], '#');
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(JoinLinesCrLf(lines, 2, out, 8), kTooLong);
    EXPECT_EQ(out[8], '#');
    EXPECT_EQ(JoinLinesCrLf(lines, 2, out, 0), kTooLong);
}

}  // namespace
}  // namespace clearwick
