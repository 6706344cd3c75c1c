// Form2's removal members: the sequence behind OK and the registry wrappers.
#include "window/form2.h"

#include "version/os_check.h"
#include "window/removal_script.h"

namespace clearwick {
namespace {

constexpr const char* kProductWindowTitle = "Glintfold";
constexpr const char* kRunKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kAutorunValueName = "Glintfold";

// The script's "cd" lines name drive C: but do not switch drives, so it must
// start on C: or its deletes would act wherever the tool was started from.
constexpr const char* kScriptWorkingDirectory = "C:\\";

}  // namespace

void Form2::DeleteKey(KeyHandle Hkey, const char* strKey) {
    platform_.RegDeleteKeyA(Hkey, strKey);
}

// Open, delete, close: all three run whatever the one before returned. A
// failed open leaves the handle null, so the delete and close find no key.
void Form2::DeleteValue(KeyHandle Hkey, const char* strPath, const char* strValue) {
    KeyHandle key = 0;
    platform_.RegOpenKeyA(Hkey, strPath, &key);
    platform_.RegDeleteValueA(key, strValue);
    platform_.RegCloseKey(key);
}

void Form2::cmdOK_Click() {
    const VersionText version = GetOsVersion(platform_);

    const WindowHandle product = platform_.FindWindowA(nullptr, kProductWindowTitle);
    if (product != 0) platform_.SendMessageA(product, kWmClose, 0, 0);

    DeleteValue(kHkeyLocalMachine, kRunKeyPath, kAutorunValueName);

    // Without a version there is no family word to choose a script by; what
    // was done so far stays done.
    if (version.empty()) {
        platform_.RuntimeError(Failure::NoVersion, nullptr, 0);
        return;
    }
    const RemovalScript& script = ChooseScript(version.view());

    if (const ErrorCode error = platform_.WriteTextFile(script.path, script.lines, script.lineCount)) {
        platform_.RuntimeError(Failure::WriteScript, script.path, error);
        return;
    }
    if (const ErrorCode error =
            platform_.StartProgram(script.path, kSwShowMinimized, kScriptWorkingDirectory)) {
        platform_.RuntimeError(Failure::StartScript, script.path, error);
        return;
    }
    platform_.EndProgram();
}

void Form2::cmdCancel_Click() {
    platform_.EndProgram();
}

}  // namespace clearwick
