#include "window/form2.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "recording_platform.h"
#include "window/removal_script.h"

namespace clearwick {

// The Click handlers are private; the tests press the buttons here.
struct Form2TestAccess {
    static void ClickOk(Form2& form) { form.cmdOK_Click(); }
    static void ClickCancel(Form2& form) { form.cmdCancel_Click(); }
};

namespace {

using Calls = std::vector<std::string>;

const char kNtScriptBytes[] =
    "@echo off\r\n"
    "cd C:\\Program Files\\Larkvane\r\n"
    "del /q glintfold.exe\r\n"
    "del /q clearwick.exe\r\n"
    "del /q kelp_note.txt\r\n"
    "cd C:\\Program Files\r\n"
    "rmdir /q Larkvane\r\n"
    "cd C:\\\r\n";

const char k9xScriptBytes[] =
    "@echo off\r\n"
    "cd C:\\progra~1\\larkvane\\\r\n"
    "del glintfold.exe\r\n"
    "del clearwick.exe\r\n"
    "del kelp_note.txt\r\n";

const std::string kOpenRunKey =
    "RegOpenKeyA(0x80000002, \"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\")";

Calls RunOk(RecordingPlatform& platform) {
    Form2 form(platform);
    Form2TestAccess::ClickOk(form);
    return platform.calls;
}

TEST(Form2Ok, RunsTheWholeRemovalInOrderOnXp) {
    RecordingPlatform platform;
    platform.windows = {{"Glintfold", 0x2A0}};
    EXPECT_EQ(RunOk(platform),
              (Calls{"GetVersionExA(148)",
                     "FindWindowA(null, \"Glintfold\")",
                     "SendMessageA(0x2A0, 0x10, 0, 0)",
                     kOpenRunKey,
                     "RegDeleteValueA(0x1234, \"Glintfold\")",
                     "RegCloseKey(0x1234)",
                     "WriteTextFile(\"c:\\clearwick.bat\", 8 lines)",
                     // C:\ whatever the tool's own current directory: the
                     // script's cd lines do not switch drives.
                     "StartProgram(\"c:\\clearwick.bat\", 2, \"C:\\\")",
                     "EndProgram()"}));
    EXPECT_EQ(platform.files, (std::map<std::string, std::string>{{"c:\\clearwick.bat", kNtScriptBytes}}));
}

TEST(Form2Ok, ChoosesTheScriptByPlatform) {
    struct Case {
        std::uint32_t platformId, major, minor;
        const char* path;
        const char* bytes;
    };
    const Case cases[] = {
        {kPlatformWin32Windows, 4, 0, "C:\\clearwick.bat", k9xScriptBytes},   // 95
        {kPlatformWin32Windows, 4, 10, "C:\\clearwick.bat", k9xScriptBytes},  // 98
        {kPlatformWin32Windows, 4, 90, "C:\\clearwick.bat", k9xScriptBytes},  // Me
        {kPlatformWin32Nt, 4, 0, "c:\\clearwick.bat", kNtScriptBytes},
        {kPlatformWin32Nt, 10, 0, "c:\\clearwick.bat", kNtScriptBytes},
        {kPlatformWin32s, 3, 10, "c:\\clearwick.bat", kNtScriptBytes},  // "32s" is not "95/98"
        {7, 5, 0, "c:\\clearwick.bat", kNtScriptBytes},                 // empty family word
    };
    for (const Case& c : cases) {
        RecordingPlatform platform;
        platform.version = RecordingPlatform::MakeVersion(c.platformId, c.major, c.minor);
        const Calls calls = RunOk(platform);
        ASSERT_EQ(platform.files.size(), 1u) << "platform " << c.platformId;
        EXPECT_EQ(platform.files.begin()->first, c.path) << "platform " << c.platformId;
        EXPECT_EQ(platform.files.begin()->second, c.bytes) << "platform " << c.platformId;
        EXPECT_EQ(calls[calls.size() - 2],
                  "StartProgram(\"" + std::string(c.path) + "\", 2, \"C:\\\")");
    }
}

TEST(ChooseScript, OnlyTheExactFamilyWord9xPicksThe9xScript) {
    EXPECT_EQ(&ChooseScript("95/98 4.10"), &k9xScript);
    EXPECT_EQ(&ChooseScript("95/98"), &k9xScript);
    for (const char* other : {"NT 5.1", "32s 3.10", " 5.0", "95/98x 4.10", "95/9 4.10", "95/98\t4.10"})
        EXPECT_EQ(&ChooseScript(other), &kNtScript) << other;
}

TEST(Form2Ok, WithoutAProductWindowSendsNothingAndGoesOn) {
    RecordingPlatform platform;
    platform.windows = {{"Glintfold Setup", 0x99}};
    const Calls calls = RunOk(platform);
    EXPECT_EQ(calls[1], "FindWindowA(null, \"Glintfold\")");
    EXPECT_EQ(calls[2], kOpenRunKey);
    EXPECT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls.back(), "EndProgram()");
}

TEST(Form2Ok, ClosesOnlyTheFirstOfTwoProductWindows) {
    RecordingPlatform platform;
    platform.windows = {{"Glintfold", 0x10}, {"Glintfold", 0x20}};
    const Calls calls = RunOk(platform);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SendMessageA(0x10, 0x10, 0, 0)"), 1);
    for (const std::string& call : calls) EXPECT_EQ(call.find("0x20,"), std::string::npos) << call;
}

TEST(Form2Ok, RegistryFailuresChangeNothingThatFollows) {
    RecordingPlatform denied;
    denied.deleteValueStatus = 5;  // ERROR_ACCESS_DENIED
    denied.closeStatus = 6;
    RecordingPlatform healthy;
    EXPECT_EQ(RunOk(denied), RunOk(healthy));
    EXPECT_EQ(denied.files, healthy.files);
}

TEST(Form2Ok, FailedVersionQueryReportsAfterStepsOneToThreeAndWritesNothing) {
    RecordingPlatform platform;
    platform.versionQuerySucceeds = false;
    platform.windows = {{"Glintfold", 0x2A0}};
    EXPECT_EQ(RunOk(platform),
              (Calls{"GetVersionExA(148)",
                     "MessageBoxOk(\"Clearwick\", \"Error Getting Version Information\")",
                     "FindWindowA(null, \"Glintfold\")",
                     "SendMessageA(0x2A0, 0x10, 0, 0)",
                     kOpenRunKey,
                     "RegDeleteValueA(0x1234, \"Glintfold\")",
                     "RegCloseKey(0x1234)",
                     "RuntimeError(NoVersion, null, 0)"}));
    EXPECT_TRUE(platform.files.empty());
}

TEST(Form2Ok, UnwritableScriptIsReportedWithItsPathAndNotStarted) {
    RecordingPlatform platform;
    platform.writeError = 5;
    const Calls calls = RunOk(platform);
    EXPECT_EQ(calls[calls.size() - 2], "WriteTextFile(\"c:\\clearwick.bat\", 8 lines)");
    EXPECT_EQ(calls.back(), "RuntimeError(WriteScript, \"c:\\clearwick.bat\", 5)");
}

TEST(Form2Ok, FailedStartIsReportedWithItsPathAndTheScriptStays) {
    RecordingPlatform platform;
    platform.version = RecordingPlatform::MakeVersion(kPlatformWin32Windows, 4, 10);
    platform.startError = 2;
    const Calls calls = RunOk(platform);
    EXPECT_EQ(calls[calls.size() - 2], "StartProgram(\"C:\\clearwick.bat\", 2, \"C:\\\")");
    EXPECT_EQ(calls.back(), "RuntimeError(StartScript, \"C:\\clearwick.bat\", 2)");
    EXPECT_EQ(platform.files.at("C:\\clearwick.bat"), k9xScriptBytes);
}

TEST(Form2Cancel, EndsTheProgramAndTouchesNothing) {
    RecordingPlatform platform;
    platform.windows = {{"Glintfold", 0x2A0}};
    Form2 form(platform);
    Form2TestAccess::ClickCancel(form);
    EXPECT_EQ(platform.calls, Calls{"EndProgram()"});
}

TEST(Form2DeleteValue, AlwaysOpensDeletesAndClosesWhateverEachReturns) {
    RecordingPlatform platform;
    Form2 form(platform);
    form.DeleteValue(kHkeyCurrentUser, "Software\\Demo", "Value");
    EXPECT_EQ(platform.calls, (Calls{"RegOpenKeyA(0x80000001, \"Software\\Demo\")",
                                     "RegDeleteValueA(0x1234, \"Value\")",
                                     "RegCloseKey(0x1234)"}));

    // A failed open leaves the handle null: the delete and the close still
    // run, and find no key.
    RecordingPlatform missing;
    missing.openStatus = 2;  // ERROR_FILE_NOT_FOUND
    missing.deleteValueStatus = 6;
    Form2 other(missing);
    other.DeleteValue(kHkeyLocalMachine, "Software\\Gone", "Value");
    EXPECT_EQ(missing.calls, (Calls{"RegOpenKeyA(0x80000002, \"Software\\Gone\")",
                                    "RegDeleteValueA(0x0, \"Value\")",
                                    "RegCloseKey(0x0)"}));
}

TEST(Form2DeleteKey, IsOneRegDeleteKeyCall) {
    RecordingPlatform platform;
    platform.deleteKeyStatus = 2;
    Form2 form(platform);
    form.DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Larkvane");
    EXPECT_EQ(platform.calls, Calls{"RegDeleteKeyA(0x80000002, \"SOFTWARE\\Larkvane\")"});
}

}  // namespace
}  // namespace clearwick
