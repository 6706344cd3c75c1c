// A PlatformServices that records every call, in order, as one line of text,
// and answers with whatever the test has set up. Ending the program and the
// run-time error report are recorded too, and the test process goes on.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/platform_services.h"

namespace clearwick {

class RecordingPlatform final : public PlatformServices {
public:
    // --- what the calls answer -------------------------------------------
    // Top-level windows by title, in the order FindWindowA would meet them.
    std::vector<std::pair<std::string, WindowHandle>> windows;
    long openStatus = 0;              // RegOpenKeyA; a successful open hands out 0x1234
    long deleteValueStatus = 0;       // RegDeleteValueA
    long closeStatus = 0;             // RegCloseKey
    long deleteKeyStatus = 0;         // RegDeleteKeyA
    bool versionQuerySucceeds = true;
    OsVersionInfoA version = MakeVersion(kPlatformWin32Nt, 5, 1);
    ErrorCode writeError = 0;         // WriteTextFile
    ErrorCode startError = 0;         // StartProgram

    static OsVersionInfoA MakeVersion(std::uint32_t platformId, std::uint32_t major,
                                      std::uint32_t minor) {
        OsVersionInfoA v;
        std::memset(&v, 0, sizeof v);
        v.dwPlatformId = platformId;
        v.dwMajorVersion = major;
        v.dwMinorVersion = minor;
        v.dwBuildNumber = 2600;
        std::strcpy(v.szCSDVersion, "Service Pack 3");
        return v;
    }

    // --- what was done -----------------------------------------------------
    std::vector<std::string> calls;
    // Files as WriteTextFile left them, by path; a failed write leaves none.
    std::map<std::string, std::string> files;
    // The record as the program handed it to GetVersionExA.
    OsVersionInfoA versionRequest{};

    WindowHandle FindWindowA(const char* className, const char* windowName) override {
        calls.push_back("FindWindowA(" + Text(className) + ", " + Text(windowName) + ")");
        for (const auto& [title, handle] : windows)
            if (windowName != nullptr && title == windowName) return handle;
        return 0;
    }

    std::intptr_t SendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) override {
        calls.push_back("SendMessageA(" + Hex(window) + ", " + Hex(message) + ", " +
                        std::to_string(wParam) + ", " + std::to_string(lParam) + ")");
        return 0;
    }

    void MessageBoxOk(const char* title, const char* text) override {
        calls.push_back("MessageBoxOk(" + Text(title) + ", " + Text(text) + ")");
    }

    long RegOpenKeyA(KeyHandle key, const char* subKey, KeyHandle* result) override {
        calls.push_back("RegOpenKeyA(" + Hex(key) + ", " + Text(subKey) + ")");
        if (openStatus == 0) *result = 0x1234;
        return openStatus;
    }

    long RegDeleteValueA(KeyHandle key, const char* valueName) override {
        calls.push_back("RegDeleteValueA(" + Hex(key) + ", " + Text(valueName) + ")");
        return deleteValueStatus;
    }

    long RegCloseKey(KeyHandle key) override {
        calls.push_back("RegCloseKey(" + Hex(key) + ")");
        return closeStatus;
    }

    long RegDeleteKeyA(KeyHandle key, const char* subKey) override {
        calls.push_back("RegDeleteKeyA(" + Hex(key) + ", " + Text(subKey) + ")");
        return deleteKeyStatus;
    }

    int GetVersionExA(OsVersionInfoA* info) override {
        calls.push_back("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ")");
        versionRequest = *info;
        if (!versionQuerySucceeds) return 0;
        const std::uint32_t size = info->dwOSVersionInfoSize;
        *info = version;
        info->dwOSVersionInfoSize = size;
        return 1;
    }

    ErrorCode WriteTextFile(const char* path, const std::string_view* lines,
                            std::size_t count) override {
        calls.push_back("WriteTextFile(" + Text(path) + ", " + std::to_string(count) + " lines)");
        if (writeError != 0) return writeError;
        std::string& bytes = files[path];
        bytes.clear();
        for (std::size_t i = 0; i < count; ++i) bytes.append(lines[i]).append("\r\n");
        return 0;
    }

    ErrorCode StartProgram(const char* path, int showState,
                           const char* workingDirectory) override {
        calls.push_back("StartProgram(" + Text(path) + ", " + std::to_string(showState) + ", " +
                        Text(workingDirectory) + ")");
        return startError;
    }

    void EndProgram() override {
        calls.push_back("EndProgram()");
    }

    void RuntimeError(Failure what, const char* path, ErrorCode error) override {
        static const char* const names[] = {"NoVersion", "WriteScript", "StartScript", "NoWindow"};
        calls.push_back(std::string("RuntimeError(") + names[static_cast<int>(what)] + ", " +
                        Text(path) + ", " + std::to_string(error) + ")");
    }

private:
    static std::string Text(const char* s) { return s == nullptr ? "null" : '"' + std::string(s) + '"'; }
    static std::string Hex(std::uint64_t v) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
        return buf;
    }
};

}  // namespace clearwick
