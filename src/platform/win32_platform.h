// PlatformServices on real Windows: the A entry points, as Windows 95 has them.
#pragma once

#include "platform/platform_services.h"

namespace clearwick {

class Win32Platform final : public PlatformServices {
public:
    // The platform's start, before the program's window: from here on the
    // process loads DLLs from the system folder only.
    Win32Platform();

    // The window that owns the message boxes from now on: the program's
    // own, once it exists.
    void SetOwnerWindow(WindowHandle window);

    WindowHandle FindWindowA(const char* className, const char* windowName) override;
    std::intptr_t SendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) override;
    void MessageBoxOk(const char* title, const char* text) override;
    long RegOpenKeyA(KeyHandle key, const char* subKey, KeyHandle* result) override;
    long RegDeleteValueA(KeyHandle key, const char* valueName) override;
    long RegCloseKey(KeyHandle key) override;
    long RegDeleteKeyA(KeyHandle key, const char* subKey) override;
    int GetVersionExA(OsVersionInfoA* info) override;
    ErrorCode WriteTextFile(const char* path, const std::string_view* lines,
                            std::size_t count) override;
    ErrorCode StartProgram(const char* path, int showState, const char* workingDirectory) override;
    void EndProgram() override;
    void RuntimeError(Failure what, const char* path, ErrorCode error) override;

    // The one way out of the process, with its exit code.
    [[noreturn]] void Exit(unsigned code);

private:
    WindowHandle owner_ = 0;
};

}  // namespace clearwick
