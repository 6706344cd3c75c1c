#include "version/os_check.h"

#include <gtest/gtest.h>

#include "recording_platform.h"

namespace clearwick {
namespace {

struct VersionCase {
    std::uint32_t platformId, major, minor;
    const char* expected;
};

TEST(GetOsVersion, DescribesEachPlatformAndVersion) {
    const VersionCase cases[] = {
        {kPlatformWin32Windows, 4, 10, "95/98 4.10"},  // 98
        {kPlatformWin32Windows, 4, 0, "95/98 4.0"},    // 95: minor 0 is still printed
        {kPlatformWin32Windows, 4, 90, "95/98 4.90"},  // Me
        {kPlatformWin32Nt, 5, 1, "NT 5.1"},
        {kPlatformWin32Nt, 4, 0, "NT 4.0"},
        {kPlatformWin32Nt, 6, 1, "NT 6.1"},
        {kPlatformWin32Nt, 10, 0, "NT 10.0"},
        {kPlatformWin32s, 3, 10, "32s 3.10"},  // the stored trailing space does not double
        {3, 5, 0, " 5.0"},                     // no family word: starts with the separator
        {0xFFFFFFFFu, 5, 0, " 5.0"},
        // The fields are read as signed numbers.
        {kPlatformWin32Nt, 0xFFFFFFFFu, 0x80000000u, "NT -1.-2147483648"},
        {kPlatformWin32Windows, 0x7FFFFFFFu, 0x80000000u, "95/98 2147483647.-2147483648"},
        {kPlatformWin32Windows, 0x80000000u, 0x80000000u, "95/98 -2147483648.-2147483648"},  // longest
    };
    for (const VersionCase& c : cases) {
        RecordingPlatform platform;
        platform.version = RecordingPlatform::MakeVersion(c.platformId, c.major, c.minor);
        const VersionText text = GetOsVersion(platform);
        EXPECT_EQ(text.view(), c.expected) << c.platformId << ", " << c.major << "." << c.minor;
        EXPECT_LT(text.length, sizeof text.text);
        EXPECT_EQ(platform.calls, std::vector<std::string>{"GetVersionExA(148)"});
        // Windows is handed a cleared record of its own size.
        const OsVersionInfoA& sent = platform.versionRequest;
        EXPECT_EQ(sent.dwOSVersionInfoSize, 148u);
        EXPECT_EQ(sent.dwMajorVersion | sent.dwMinorVersion | sent.dwBuildNumber | sent.dwPlatformId, 0u);
        for (char ch : sent.szCSDVersion) ASSERT_EQ(ch, '\0');
    }
}

TEST(GetOsVersion, FailedQueryShowsTheMessageOnceAndGivesEmptyText) {
    RecordingPlatform platform;
    platform.versionQuerySucceeds = false;
    const VersionText text = GetOsVersion(platform);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{
                  "GetVersionExA(148)",
                  "MessageBoxOk(\"Clearwick\", \"Error Getting Version Information\")"}));
}

}  // namespace
}  // namespace clearwick
