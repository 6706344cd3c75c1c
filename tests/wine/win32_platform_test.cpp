// The Win32 PlatformServices against a real registry and file system, under
// Wine. Usage: win32_platform_test [expected version description]; with an
// argument it checks only the version description.
#include <windows.h>
#include <sddl.h>

#include "wine/check.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/win32_platform.h"
#include "version/os_check.h"
#include "window/form2.h"

namespace {

using namespace clearwick;

constexpr const char* kTestKey = "SOFTWARE\\ClearwickTest";

bool HasValue(const char* subKey, const char* name) {
    return RegGetValueA(HKEY_LOCAL_MACHINE, subKey, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

bool HasKey(const char* subKey) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void DeleteValueRemovesOnlyTheNamedValue(Win32Platform& platform) {
    for (const char* name : {"Glintfold", "Sibling", "GlintfoldHelper"}) {
        CHECK(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kTestKey, name, REG_SZ, "x", 2) == ERROR_SUCCESS);
    }

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

// The file's DACL as text (SDDL), or "" where it cannot be read.
std::string DaclOf(const char* path) {
    char buffer[4096];
    DWORD needed = 0;
    char* text = nullptr;
    std::string dacl;
    if (GetFileSecurityA(path, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed) &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
        dacl = text;
        LocalFree(text);
    }
    return dacl;
}

bool HasEntryFor(const std::string& dacl, const char* sid) {
    return dacl.find(std::string(";;;") + sid + ")") != std::string::npos;
}

void WriteTextFileReplacesWhateverIsThere(Win32Platform& platform) {
    const char* path = "C:\\clearwick_write_test.bat";
    const std::string_view lines[] = {"@echo off", "cd C:\\Program Files\\Larkvane"};
    const std::string bytes = "@echo off\r\ncd C:\\Program Files\\Larkvane\r\n";
    constexpr DWORD kHidingAttributes =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

    // A longer file that anyone may change, marked read-only, hidden and
    // system, as a cleaner or a person may leave it.
    std::ofstream(path, std::ios::binary) << std::string(5000, 'Z');
    const std::string plainDacl = DaclOf(path);
    std::printf("DACL of a file made with a plain CreateFileA: %s\n", plainDacl.c_str());
    CHECK(HasEntryFor(plainDacl, "WD"));
    CHECK(SetFileAttributesA(path, kHidingAttributes));
    CHECK(platform.WriteTextFile(path, lines, 2) == ERROR_SUCCESS);
    CHECK(ReadFile(path) == bytes);
    CHECK((GetFileAttributesA(path) & kHidingAttributes) == 0);
    // Made new, with a DACL of its own: nothing for Everyone.
    const std::string dacl = DaclOf(path);
    std::printf("DACL of the written file: %s\n", dacl.c_str());
    CHECK(!HasEntryFor(dacl, "WD"));

    // A file that cannot be deleted, here because another program holds it
    // open, is an error, and stays as it was.
    CHECK(SetFileAttributesA(path, FILE_ATTRIBUTE_HIDDEN));
    const DWORD hidden = GetFileAttributesA(path);
    const HANDLE held = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE);
    const std::string_view other[] = {"echo other"};
    CHECK(platform.WriteTextFile(path, other, 1) == ERROR_SHARING_VIOLATION);
    CloseHandle(held);
    CHECK(ReadFile(path) == bytes);
    CHECK(GetFileAttributesA(path) == hidden);

    // A folder at the path is an error, and is left alone.
    const char* folder = "C:\\clearwick_write_test.dir";
    CHECK(CreateDirectoryA(folder, nullptr));
    CHECK(SetFileAttributesA(folder, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    CHECK(platform.WriteTextFile(folder, lines, 2) != ERROR_SUCCESS);
    CHECK(GetFileAttributesA(folder) == (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    RemoveDirectoryA(folder);

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
    // The program's window is gone before the script starts, since nothing
    // but the end of the process may follow the start; so on a failed start.
    const auto ownWindow = [&platform] {
        const HWND window = CreateWindowExA(0, "STATIC", "Clearwick", WS_POPUP, 0, 0, 10, 10, nullptr,
                                            nullptr, nullptr, nullptr);
        platform.SetOwnerWindow(static_cast<WindowHandle>(reinterpret_cast<UINT_PTR>(window)));
        return window;
    };
    HWND window = ownWindow();
    CHECK(platform.StartProgram(script, SW_SHOWMINIMIZED, "C:\\") == ERROR_SUCCESS);
    CHECK(!IsWindow(window));
    std::string where;
    wine_test::WaitFor([&] { return !(where = ReadFile(marker)).empty(); }, 10000);
    CHECK(where == "C:\\\r\n");

    // A failed start comes back as the Windows error it means.
    window = ownWindow();
    CHECK(platform.StartProgram("C:\\no_such_script.bat", SW_SHOWMINIMIZED, "C:\\") ==
          ERROR_FILE_NOT_FOUND);
    CHECK(!IsWindow(window));
}

}  // namespace

int main(int argc, char** argv) {
    Win32Platform platform;
    if (argc == 1) {
        DeleteValueRemovesOnlyTheNamedValue(platform);
        DeleteKeyRemovesTheKey(platform);
        WriteTextFileReplacesWhateverIsThere(platform);
        StartProgramRunsInTheGivenDirectory(platform);
    } else {
        const VersionText version = GetOsVersion(platform);
        const std::string got(version.view());
        if (got != argv[1]) std::printf("version: expected \"%s\", got \"%s\"\n", argv[1], got.c_str());
        CHECK(got == argv[1]);
    }
    return wine_test::Finish();
}
