// The Win32 PlatformServices against a real registry and file system, under
// Wine. Usage: win32_platform_test [expected version description]; with an
// argument it checks only the version description.
#include <windows.h>

#include "wine/check.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32_platform.h"
#include "version/os_check.h"
#include "window/form2.h"

namespace {

using namespace clearwick;


constexpr const char* kTestKey = "SOFTWARE\\ClearwickTest";

void SetValue(HKEY key, const char* name) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
}

bool HasValue(const char* subKey, const char* name) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey, &key) != ERROR_SUCCESS) return false;
    const bool found = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

bool HasKey(const char* subKey) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string ReadFile(const char* path) {
    std::string bytes;
    if (FILE* f = std::fopen(path, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

void DeleteValueRemovesOnlyTheNamedValue(Win32Platform& platform) {
    HKEY key;
    CHECK(RegCreateKeyA(HKEY_LOCAL_MACHINE, kTestKey, &key) == ERROR_SUCCESS);
    SetValue(key, "Glintfold");
    SetValue(key, "Sibling");
    SetValue(key, "GlintfoldHelper");
    RegCloseKey(key);

    Form2 form(platform);
    form.DeleteValue(kHkeyLocalMachine, kTestKey, "Glintfold");
    CHECK(!HasValue(kTestKey, "Glintfold"));
    CHECK(HasValue(kTestKey, "Sibling"));
    CHECK(HasValue(kTestKey, "GlintfoldHelper"));

    // Missing value, then missing key: both return and change nothing.
    form.DeleteValue(kHkeyLocalMachine, kTestKey, "Glintfold");
    CHECK(HasValue(kTestKey, "Sibling"));
    form.DeleteValue(kHkeyLocalMachine, "SOFTWARE\\ClearwickNoSuchKey", "Sibling");
    CHECK(!HasKey("SOFTWARE\\ClearwickNoSuchKey"));
    CHECK(HasValue(kTestKey, "Sibling"));
}

void DeleteKeyRemovesTheKey(Win32Platform& platform) {
    HKEY key;
    CHECK(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ClearwickTest\\Doomed", &key) == ERROR_SUCCESS);
    RegCloseKey(key);
    Form2 form(platform);
    form.DeleteKey(kHkeyLocalMachine, "SOFTWARE\\ClearwickTest\\Doomed");
    CHECK(!HasKey("SOFTWARE\\ClearwickTest\\Doomed"));
    CHECK(HasKey(kTestKey));
    form.DeleteKey(kHkeyLocalMachine, "SOFTWARE\\ClearwickTest\\Doomed");  // already gone
    CHECK(HasKey(kTestKey));
}

void WriteTextFileWritesExactBytesAndTruncates(Win32Platform& platform) {
    const char* path = "C:\\clearwick_write_test.bat";
    if (FILE* f = std::fopen(path, "wb")) {
        const std::string old(5000, 'Z');
        std::fwrite(old.data(), 1, old.size(), f);
        std::fclose(f);
    }
    const std::string_view lines[] = {"@echo off", "cd C:\\Program Files\\Larkvane"};
    CHECK(platform.WriteTextFile(path, lines, 2) == ERROR_SUCCESS);
    CHECK(ReadFile(path) == "@echo off\r\ncd C:\\Program Files\\Larkvane\r\n");

    CHECK(platform.WriteTextFile("C:\\no\\such\\folder\\x.bat", lines, 2) == ERROR_PATH_NOT_FOUND);

    // More than the writer's buffer holds is refused, not cut short.
    const std::string longLine(2000, 'a');
    const std::string_view tooLong[] = {longLine};
    CHECK(platform.WriteTextFile(path, tooLong, 1) == ERROR_INSUFFICIENT_BUFFER);
    DeleteFileA(path);
}

void StartProgramRunsInTheGivenDirectory(Win32Platform& platform) {
    const char* script = "C:\\clearwick_start_test.bat";
    const char* marker = "C:\\clearwick_start_test.txt";
    DeleteFileA(marker);
    const std::string_view lines[] = {"@echo off", "cd > C:\\clearwick_start_test.txt"};
    CHECK(platform.WriteTextFile(script, lines, 2) == ERROR_SUCCESS);
    SetCurrentDirectoryA("C:\\windows");
    CHECK(platform.StartProgram(script, SW_SHOWMINIMIZED, "C:\\") == ERROR_SUCCESS);
    std::string where;
    for (int i = 0; i < 200 && where.empty(); ++i) {
        Sleep(50);
        where = ReadFile(marker);
    }
    CHECK(where == "C:\\\r\n");

    // A failed start comes back as the Windows error it means.
    CHECK(platform.StartProgram("C:\\no_such_script.bat", SW_SHOWMINIMIZED, "C:\\") ==
          ERROR_FILE_NOT_FOUND);
}

}  // namespace

int main(int argc, char** argv) {
    Win32Platform platform;
    if (argc == 1) {
        DeleteValueRemovesOnlyTheNamedValue(platform);
        DeleteKeyRemovesTheKey(platform);
        WriteTextFileWritesExactBytesAndTruncates(platform);
        StartProgramRunsInTheGivenDirectory(platform);
    } else {
        const VersionText version = GetOsVersion(platform);
        const std::string got(version.view());
        if (got != argv[1]) std::printf("version: expected \"%s\", got \"%s\"\n", argv[1], got.c_str());
        CHECK(got == argv[1]);
    }
    return wine_test::Finish();
}
