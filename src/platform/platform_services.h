// The Windows operations the removal logic needs, as one interface.
//
// The logic is portable C++17 and never includes <windows.h>: handles are the
// 32-bit values that Win32 hands out on i386, and the predefined root keys are
// spelled out by value. The Win32 implementation (win32_platform.cpp) casts
// them back; tests use a recording fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace clearwick {

using WindowHandle = std::uint32_t;  // HWND
using KeyHandle = std::uint32_t;     // HKEY
using ErrorCode = std::uint32_t;     // a GetLastError() value; 0 means success

constexpr KeyHandle kHkeyClassesRoot = 0x80000000u;
constexpr KeyHandle kHkeyCurrentUser = 0x80000001u;
constexpr KeyHandle kHkeyLocalMachine = 0x80000002u;
constexpr KeyHandle kHkeyUsers = 0x80000003u;

// The program's title: its window's, and every message box's.
inline constexpr char kProgramTitle[] = "Clearwick";

constexpr std::uint32_t kWmClose = 0x0010;
constexpr int kSwShowMinimized = 2;

constexpr std::uint32_t kPlatformWin32s = 0;
constexpr std::uint32_t kPlatformWin32Windows = 1;
constexpr std::uint32_t kPlatformWin32Nt = 2;

// Field for field the layout of OSVERSIONINFOA (148 bytes on every Win32).
struct OsVersionInfoA {
    std::uint32_t dwOSVersionInfoSize;
    std::uint32_t dwMajorVersion;
    std::uint32_t dwMinorVersion;
    std::uint32_t dwBuildNumber;
    std::uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfoA) == 148, "must match OSVERSIONINFOA");

// What went wrong when the program has to give up; see RuntimeError().
enum class Failure {
    NoVersion,    // the version description was empty
    WriteScript,  // the removal script could not be created or written
    StartScript,  // the removal script could not be started
    NoWindow,     // the question's window could not be made
};

class PlatformServices {
public:
    // user32
    virtual WindowHandle FindWindowA(const char* className, const char* windowName) = 0;
    virtual std::intptr_t SendMessageA(WindowHandle window, std::uint32_t message,
                                       std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // Modal message box with an OK button and no icon.
    virtual void MessageBoxOk(const char* title, const char* text) = 0;

    // advapi32; every status is returned as Windows returns it.
    virtual long RegOpenKeyA(KeyHandle key, const char* subKey, KeyHandle* result) = 0;
    virtual long RegDeleteValueA(KeyHandle key, const char* valueName) = 0;
    virtual long RegCloseKey(KeyHandle key) = 0;
    virtual long RegDeleteKeyA(KeyHandle key, const char* subKey) = 0;

    // kernel32: nonzero on success.
    virtual int GetVersionExA(OsVersionInfoA* info) = 0;

    // Replaces any file at `path`, whatever its attributes, with one that
    // holds each line followed by CR LF.
    virtual ErrorCode WriteTextFile(const char* path, const std::string_view* lines,
                                    std::size_t count) = 0;

    // The program's last act before it ends: closes the program's window,
    // moves the process's current directory to `workingDirectory`, then
    // starts `path` as the whole command (a batch file runs in the command
    // interpreter) with the given show state; the started program inherits
    // that directory. Returns without waiting for it. The caller does nothing
    // after it but end the program (or report that the start failed).
    virtual ErrorCode StartProgram(const char* path, int showState,
                                   const char* workingDirectory) = 0;

    // Ends the process at once. The real one does not return; a fake may, so
    // callers return straight after it.
    virtual void EndProgram() = 0;

    // Tells the user what failed in one message box and ends the process with
    // a non-zero exit code. `path` may be null; `error` may be 0. Like
    // EndProgram(), callers return straight after it.
    virtual void RuntimeError(Failure what, const char* path, ErrorCode error) = 0;

protected:
    ~PlatformServices() = default;
};

}  // namespace clearwick
