// Loaded into clearwick.exe by win9x_launcher, which points some of the exe's imports at
// the stand-ins below before its first instruction, so the unchanged exe meets the calls
// as Windows 95, 98 and Me have them; the debugger gets each answer for the test's log.
//
//   StandInGetProcAddress       the W and security calls 9x has as stubs get such a
//                               stub, those 9x lacks are not found, the rest: real lookup
//   StandInCreateFontIndirectA  the real call; tells the face asked for and the one given
//   StandInGetVersionExA        fails
//   StandInCreateDialogIndirectParamA  fails, as when the system is out of window memory
#include <windows.h>

#include <type_traits>

namespace {

void Say(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    wvsprintfA(line, format, args);
    va_end(args);
    lstrcatA(line, "\n");
    OutputDebugStringA(line);
}

// Text in the process's ANSI code page (what the A calls read) as UTF-8.
void ToUtf8(const char* ansi, char (&out)[3 * LF_FACESIZE]) {
    WCHAR wide[LF_FACESIZE];
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, LF_FACESIZE) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, sizeof out, nullptr, nullptr) == 0) {
        lstrcpynA(out, "(unreadable)", sizeof out);
    }
}

// Windows 95 to Me export these calls but each only fails: the W calls, and the security
// calls, as they have no ACLs. Each stub tells the debugger and has the real call's
// parameters and calling convention, so the stack comes back as the caller left it.
template <typename Result>
Result NotImplemented(const char* name) {
    Say("%s: fails", name);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return Result();
}

#define FAILING_STUB(Result, name, ...)                                               \
    Result WINAPI name##Stub(__VA_ARGS__) { return NotImplemented<Result>(#name); } \
    static_assert(std::is_same_v<decltype(&name##Stub), decltype(&::name)>);

FAILING_STUB(HWND, CreateDialogIndirectParamW, HINSTANCE, LPCDLGTEMPLATEW, HWND, DLGPROC, LPARAM)
FAILING_STUB(HWND, CreateWindowExW, DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
             HINSTANCE, LPVOID)
FAILING_STUB(HFONT, CreateFontIndirectW, const LOGFONTW*)
FAILING_STUB(BOOL, InitializeAcl, PACL, DWORD, DWORD)
FAILING_STUB(BOOL, AddAccessAllowedAce, PACL, DWORD, DWORD, PSID)
FAILING_STUB(BOOL, InitializeSecurityDescriptor, PSECURITY_DESCRIPTOR, DWORD)
FAILING_STUB(BOOL, SetSecurityDescriptorDacl, PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL)

template <typename Fn>
FARPROC AsFarProc(Fn fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fn));
}

struct Answer {
    const char* name;
    FARPROC stub;  // null: the system has no such function
};

const Answer kAnswers[] = {
    {"CreateDialogIndirectParamW", AsFarProc(&CreateDialogIndirectParamWStub)},
    {"CreateWindowExW", AsFarProc(&CreateWindowExWStub)},
    {"CreateFontIndirectW", AsFarProc(&CreateFontIndirectWStub)},
    {"GetGlyphIndicesW", nullptr},                                      // Windows 2000 and later
    {"GetDpiForWindow", nullptr},                                       // Windows 10 1607 and later
    {"AdjustWindowRectExForDpi", nullptr},                              // Windows 10 1607 and later
    {"SetDialogDpiChangeBehavior", nullptr},                            // Windows 10 1703 and later
    {"SetDialogControlDpiChangeBehavior", nullptr},                     // Windows 10 1703 and later
    {"SetDefaultDllDirectories", nullptr},                              // Windows 7 with KB2533623 and later
    {"SetDllDirectoryA", nullptr},                                      // XP SP1 and later
    {"ConvertStringSecurityDescriptorToSecurityDescriptorA", nullptr},  // 2000 and later
    {"SetSecurityDescriptorControl", nullptr},                          // 2000 and later
    {"InitializeAcl", AsFarProc(&InitializeAclStub)},
    {"AddAccessAllowedAce", AsFarProc(&AddAccessAllowedAceStub)},
    {"InitializeSecurityDescriptor", AsFarProc(&InitializeSecurityDescriptorStub)},
    {"SetSecurityDescriptorDacl", AsFarProc(&SetSecurityDescriptorDaclStub)},
};

const char* BaseName(HMODULE module, char (&path)[MAX_PATH]) {
    if (GetModuleFileNameA(module, path, MAX_PATH) == 0) return "(unknown module)";
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    return name;
}

}  // namespace

extern "C" __declspec(dllexport) FARPROC WINAPI StandInGetProcAddress(HMODULE module, LPCSTR name) {
    char path[MAX_PATH], shown[16];
    const char* moduleName = BaseName(module, path);
    const bool byOrdinal = HIWORD(reinterpret_cast<UINT_PTR>(name)) == 0;
    if (byOrdinal) wsprintfA(shown, "#%u", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(name)));
    for (const Answer& answer : kAnswers) {
        if (byOrdinal || lstrcmpA(name, answer.name) != 0) continue;
        if (answer.stub != nullptr) {
            Say("GetProcAddress(%s, %s): a stub that fails with ERROR_CALL_NOT_IMPLEMENTED", moduleName,
                name);
            return answer.stub;
        }
        Say("GetProcAddress(%s, %s): absent, ERROR_PROC_NOT_FOUND", moduleName, name);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const FARPROC real = GetProcAddress(module, name);
    const DWORD error = GetLastError();
    Say("GetProcAddress(%s, %s): passed through, %s", moduleName, byOrdinal ? shown : name,
        real != nullptr ? "found" : "null");
    SetLastError(error);
    return real;
}

extern "C" __declspec(dllexport) HFONT WINAPI StandInCreateFontIndirectA(const LOGFONTA* font) {
    const HFONT made = CreateFontIndirectA(font);
    const DWORD error = GetLastError();
    char asked[3 * LF_FACESIZE];
    ToUtf8(font->lfFaceName, asked);
    char given[3 * LF_FACESIZE] = "(none)";
    if (made != nullptr) {
        const HDC dc = CreateCompatibleDC(nullptr);
        const HGDIOBJ old = SelectObject(dc, made);
        char face[LF_FACESIZE];
        if (GetTextFaceA(dc, LF_FACESIZE, face) > 0) ToUtf8(face, given);
        SelectObject(dc, old);
        DeleteDC(dc);
    }
    Say("CreateFontIndirectA: face \"%s\", height %ld, charset %u: the mapper gives \"%s\"", asked,
        font->lfHeight, static_cast<unsigned>(font->lfCharSet), given);
    SetLastError(error);
    return made;
}

extern "C" __declspec(dllexport) BOOL WINAPI StandInGetVersionExA(LPOSVERSIONINFOA) {
    Say("GetVersionExA: fails");
    return FALSE;
}

extern "C" __declspec(dllexport) HWND WINAPI StandInCreateDialogIndirectParamA(HINSTANCE, LPCDLGTEMPLATEA,
                                                                                HWND, DLGPROC, LPARAM) {
    Say("CreateDialogIndirectParamA: fails");
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

static_assert(std::is_same_v<decltype(&StandInGetProcAddress), decltype(&::GetProcAddress)>);
static_assert(std::is_same_v<decltype(&StandInCreateFontIndirectA), decltype(&::CreateFontIndirectA)>);
static_assert(std::is_same_v<decltype(&StandInGetVersionExA), decltype(&::GetVersionExA)>);
static_assert(std::is_same_v<decltype(&StandInCreateDialogIndirectParamA),
                             decltype(&::CreateDialogIndirectParamA)>);

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
