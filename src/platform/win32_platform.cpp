#include "platform/win32_platform.h"

#include <windows.h>

#include "platform/text_lines.h"
#include "platform/win32_lookup.h"

namespace clearwick {
namespace {

// Handles are 32-bit on every Windows this program runs on.
static_assert(sizeof(HWND) == sizeof(WindowHandle) && sizeof(HKEY) == sizeof(KeyHandle),
              "i386 build only");

HWND ToHwnd(WindowHandle h) { return reinterpret_cast<HWND>(static_cast<UINT_PTR>(h)); }
HKEY ToHkey(KeyHandle h) { return reinterpret_cast<HKEY>(static_cast<UINT_PTR>(h)); }
KeyHandle FromHkey(HKEY h) { return static_cast<KeyHandle>(reinterpret_cast<UINT_PTR>(h)); }

constexpr const char* kTitle = "Clearwick";

// Message boxes belong to whatever window of ours is active, so it takes no
// input while they are open.
int Ask(const char* text, UINT type) { return MessageBoxA(GetActiveWindow(), text, kTitle, type); }

}  // namespace

// An elevated program that looks for DLLs in its own folder, say Downloads,
// loads whatever DLL was planted there under a system DLL's name. Keep the
// search to the system folder where kernel32 can (Windows 7 with KB2533623
// and later); where it can only drop the current directory from the search,
// do that (XP SP1 to Vista); Windows 95 to 2000 can do neither.
Win32Platform::Win32Platform() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryAFn = BOOL(WINAPI*)(LPCSTR);
    constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    const auto setDefault = LookUp<SetDefaultDllDirectoriesFn>("kernel32.dll", "SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(kSearchSystem32)) return;
    const auto setDllDirectory = LookUp<SetDllDirectoryAFn>("kernel32.dll", "SetDllDirectoryA");
    if (setDllDirectory != nullptr) setDllDirectory("");
}

WindowHandle Win32Platform::FindWindowA(const char* className, const char* windowName) {
    return static_cast<WindowHandle>(reinterpret_cast<UINT_PTR>(::FindWindowA(className, windowName)));
}

std::intptr_t Win32Platform::SendMessageA(WindowHandle window, std::uint32_t message,
                                          std::uintptr_t wParam, std::intptr_t lParam) {
    return ::SendMessageA(ToHwnd(window), message, wParam, lParam);
}

void Win32Platform::MessageBoxOk(const char* title, const char* text) {
    MessageBoxA(GetActiveWindow(), text, title, MB_OK);
}

long Win32Platform::RegOpenKeyA(KeyHandle key, const char* subKey, KeyHandle* result) {
    HKEY opened = nullptr;
    const long status = ::RegOpenKeyA(ToHkey(key), subKey, &opened);
    // RegOpenKeyA leaves its output alone on failure; so do we.
    if (status == ERROR_SUCCESS) *result = FromHkey(opened);
    return status;
}

long Win32Platform::RegDeleteValueA(KeyHandle key, const char* valueName) {
    return ::RegDeleteValueA(ToHkey(key), valueName);
}

long Win32Platform::RegCloseKey(KeyHandle key) { return ::RegCloseKey(ToHkey(key)); }

long Win32Platform::RegDeleteKeyA(KeyHandle key, const char* subKey) {
    return ::RegDeleteKeyA(ToHkey(key), subKey);
}

int Win32Platform::GetVersionExA(OsVersionInfoA* info) {
    return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
}

ErrorCode Win32Platform::WriteTextFile(const char* path, const std::string_view* lines,
                                       std::size_t count) {
    char bytes[1024];
    const std::size_t size = JoinLinesCrLf(lines, count, bytes, sizeof bytes);
    if (size == kTooLong) return ERROR_INSUFFICIENT_BUFFER;

    const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD written = 0;
    ErrorCode error = ERROR_SUCCESS;
    if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) {
        error = GetLastError();
    } else if (written != size) {
        error = ERROR_DISK_FULL;  // a short write without an error is a full disk
    }
    if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
    return error;
}

ErrorCode Win32Platform::StartProgram(const char* path, int showState,
                                      const char* workingDirectory) {
    // The program ends right after this, and while it runs its current
    // directory keeps that folder from being removed: when it was started
    // from the product's folder, the script's rmdir would race its exit.
    // Leave for the script's directory first; the script inherits it.
    SetCurrentDirectoryA(workingDirectory);

    // WinExec, not CreateProcessA through %COMSPEC%: it takes the path as the
    // whole command and runs a batch file in the command interpreter on both
    // families (CreateProcessA on the 9x family runs no batch file), and it is
    // in every Win32's kernel32, so nothing else is loaded for it. The shell's
    // ShellExecuteA would load shell32, which the program would still be
    // unloading at exit while the script is already deleting its exe.
    const UINT result = WinExec(path, static_cast<UINT>(showState));
    if (result > 31) return ERROR_SUCCESS;
    // Below 32 it is an error: 0 is out of memory or resources, the others
    // are Windows errors (2 file not found, 3 path not found, 11 bad format).
    return result == 0 ? static_cast<ErrorCode>(ERROR_NOT_ENOUGH_MEMORY) : result;
}

void Win32Platform::EndProgram() { ExitProcess(0); }

void Win32Platform::RuntimeError(Failure what, const char* path, ErrorCode error) {
    const char* headline = "";
    switch (what) {
        case Failure::NoVersion:
            headline =
                "Clearwick could not find out which version of Windows this is, so it cannot "
                "choose how to remove Glintfold. No files were deleted.";
            break;
        case Failure::WriteScript:
            headline = "Clearwick could not write the script that removes Glintfold's files:";
            break;
        case Failure::StartScript:
            headline = "Clearwick could not start the script that removes Glintfold's files:";
            break;
        case Failure::NoWindow:
            headline = "Clearwick could not open its window. Nothing was changed.";
            break;
    }

    // The headline, the file it is about, and the system's own words for the
    // error, each on its own line.
    char text[1024];
    lstrcpynA(text, headline, sizeof text);
    if (path != nullptr) {
        lstrcatA(text, "\r\n");
        lstrcatA(text, path);  // paths are constants well inside the buffer
    }
    if (error != ERROR_SUCCESS) {
        char reason[512];
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                           0, reason, sizeof reason, nullptr) == 0) {
            reason[0] = '\0';
        }
        const int used = lstrlenA(text);
        wsprintfA(text + used, "\r\n\r\n%s(error %lu)", reason, static_cast<unsigned long>(error));
    }
    Ask(text, MB_OK | MB_ICONERROR);
    ExitProcess(error != ERROR_SUCCESS ? error : 1);
}

}  // namespace clearwick
