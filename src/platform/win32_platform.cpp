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

// The well-known SIDs as Windows lays them out: revision 1, the number of
// sub-authorities, the NT authority (5), the sub-authorities.
constexpr BYTE kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};  // S-1-5-32-544
constexpr BYTE kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                        // S-1-5-18
constexpr BYTE kUsers[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};          // S-1-5-32-545

// The script's security: Administrators and SYSTEM may do anything with it,
// Users may read and run it, and nobody else may touch it.
struct ScriptSecurity {
    SECURITY_DESCRIPTOR descriptor;
    DWORD acl[20];  // the ACL and its three entries, 76 bytes

    // False where the system has no ACLs: Windows 95 to Me have these calls
    // as stubs that fail, or not at all. Looked up, since an import that the
    // system lacks stops the exe from loading.
    bool Make() {
        using InitializeAclFn = BOOL(WINAPI*)(PACL, DWORD, DWORD);
        using AddAccessAllowedAceFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
        using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
        using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
        using SetSecurityDescriptorControlFn =
            BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL, SECURITY_DESCRIPTOR_CONTROL);
        const auto initializeAcl = LookUp<InitializeAclFn>("advapi32.dll", "InitializeAcl");
        const auto allow = LookUp<AddAccessAllowedAceFn>("advapi32.dll", "AddAccessAllowedAce");
        const auto initialize =
            LookUp<InitializeSecurityDescriptorFn>("advapi32.dll", "InitializeSecurityDescriptor");
        const auto setDacl = LookUp<SetSecurityDescriptorDaclFn>("advapi32.dll", "SetSecurityDescriptorDacl");
        if (initializeAcl == nullptr || allow == nullptr || initialize == nullptr || setDacl == nullptr) {
            return false;
        }
        const PACL list = reinterpret_cast<PACL>(acl);
        if (!initializeAcl(list, sizeof acl, ACL_REVISION) ||
            !allow(list, ACL_REVISION, FILE_ALL_ACCESS, const_cast<BYTE*>(kAdministrators)) ||
            !allow(list, ACL_REVISION, FILE_ALL_ACCESS, const_cast<BYTE*>(kSystem)) ||
            !allow(list, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, const_cast<BYTE*>(kUsers)) ||
            !initialize(&descriptor, SECURITY_DESCRIPTOR_REVISION) || !setDacl(&descriptor, TRUE, list, FALSE)) {
            return false;
        }
        // Windows 2000 and later add the folder's inheritable entries to a
        // new file's DACL unless it is protected; NT 4.0 never adds them,
        // and has no such call.
        const auto setControl =
            LookUp<SetSecurityDescriptorControlFn>("advapi32.dll", "SetSecurityDescriptorControl");
        if (setControl != nullptr) setControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        return true;
    }
};

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

void Win32Platform::SetOwnerWindow(WindowHandle window) { owner_ = window; }

// Owned by the program's window, so that window takes no input while a box
// is open, whichever program is active.
void Win32Platform::MessageBoxOk(const char* title, const char* text) {
    MessageBoxA(ToHwnd(owner_), text, title, MB_OK);
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

// The script replaces whatever file of that name is there, whoever made it:
// - read-only, hidden and system are cleared first, since CreateFileA cannot
//   open a read-only file for writing and refuses to replace a hidden or
//   system one;
// - the old file is deleted and a new one made, since replacing a file in
//   place keeps its security, and whoever made it could then change the
//   script while an administrator's command interpreter reads it;
// - where the system has ACLs, the new file gets a DACL of its own.
// A folder at the path is left alone, and the create then fails.
ErrorCode Win32Platform::WriteTextFile(const char* path, const std::string_view* lines,
                                       std::size_t count) {
    char bytes[1024];
    const std::size_t size = JoinLinesCrLf(lines, count, bytes, sizeof bytes);
    if (size == kTooLong) return ERROR_INSUFFICIENT_BUFFER;

    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(path)) {
            const ErrorCode error = GetLastError();
            SetFileAttributesA(path, attributes);  // the file stays as it was
            return error;
        }
    }

    ScriptSecurity script;
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    if (script.Make()) security.lpSecurityDescriptor = &script.descriptor;
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, &security, CREATE_NEW,
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
    // The script deletes this program's own exe, and Windows deletes no
    // image of a running process: once the script has started, nothing may
    // run here but ExitProcess. So the window goes now, while every DLL is
    // still loaded (see Exit), and takes its fonts and brush with it; a
    // failure reported after this stands alone, with no window to own it.
    if (owner_ != 0) DestroyWindow(ToHwnd(owner_));
    owner_ = 0;

    // While the program runs its current directory keeps that folder from
    // being removed: when it was started from the product's folder, the
    // script's rmdir would race its exit. Leave for the script's directory
    // first; the script inherits it.
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

// The window goes before the process, while every DLL is still loaded to
// see it go: Wine's theming, which follows a dialog to its end, otherwise
// meets it half unloaded and faults.
void Win32Platform::Exit(unsigned code) {
    if (owner_ != 0) DestroyWindow(ToHwnd(owner_));
    ExitProcess(code);
}

void Win32Platform::EndProgram() { Exit(0); }

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
    MessageBoxA(ToHwnd(owner_), text, kProgramTitle, MB_OK | MB_ICONERROR);
    Exit(error != ERROR_SUCCESS ? error : 1);
}

}  // namespace clearwick
