// Starts clearwick.exe under Wine and reads its window back from outside:
// title, class, client size at the display's DPI, each control's class,
// UTF-16 text and position, the focus; then clicks Cancel with real mouse
// input and checks that the process ended having changed nothing.
//
// Before the click it also looks from inside the running tool, through
// control_fonts_probe.dll, which sits beside clearwick.exe: the tool must not
// find that DLL by its bare name (its DLL search stays in the system folder),
// though it loads it by its full path; and, run there, the DLL must find a
// glyph for every character of each control's text in the control's font,
// and the font's cell and the text's extent inside the control.
//
// Usage: form2_window_test <path of clearwick.exe, Unix or Windows> <dpi>
//        [leaded | unwritable | twice]
// - "leaded": the name Malgun Gothic stands for NanumGothic, a face with
//   more line height than the label's box; the tool takes it before the
//   test's usual NanumGothicCoding, and the controls must grow to fit it.
// - "unwritable": C:\clearwick.bat is a folder and the test clicks OK
//   instead: the tool must report that it cannot write the script, name the
//   path, and end with a non-zero exit code once the report is dismissed.
// - "twice": the same, but with another window active and OK pressed by two
//   BM_CLICKs posted from outside, as automation tools press buttons: the
//   removal must run once, and the report must keep the window from input.
#include <windows.h>

#include "wine/check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {


const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

int Pixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

std::wstring TextOf(HWND window) {
    wchar_t text[128] = L"";
    GetWindowTextW(window, text, 128);
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Expected {
    int id;
    const char* className;
    const wchar_t* text;
    int left, top, width, height;  // twips
};

const Expected kControls[] = {
    {100, "Static", L"시작 페이지 변경 프로그램을 삭제하시겠습니까?", 480, 480, 4725, 195},
    {101, "Button", L"확인", 1320, 975, 1000, 400},
    {102, "Button", L"취소", 3000, 975, 1000, 400},
};

void SetDpi(DWORD dpi) {
    HKEY key;
    if (RegCreateKeyA(HKEY_CURRENT_USER, "Control Panel\\Desktop", &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
        RegCloseKey(key);
    }
}

// As a system outside Korea has it: Malgun Gothic, no Gulim.
void MapMalgunGothicToNanumGothic() {
    HKEY key;
    CHECK(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Wine\\Fonts\\Replacements", &key) == ERROR_SUCCESS);
    RegSetValueExA(key, "Malgun Gothic", 0, REG_SZ, reinterpret_cast<const BYTE*>("NanumGothic"), 12);
    RegCloseKey(key);
}

void SetAutorunValue() {
    HKEY key;
    CHECK(RegCreateKeyA(HKEY_LOCAL_MACHINE, kRunKey, &key) == ERROR_SUCCESS);
    RegSetValueExA(key, "Glintfold", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(key);
}

bool HasAutorunValue() {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kRunKey, &key) != ERROR_SUCCESS) return false;
    const bool found = RegQueryValueExA(key, "Glintfold", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

const char kProbeDll[] = "control_fonts_probe.dll";

// Runs start(parameter) on a new thread of process; the thread's exit code.
DWORD RunRemote(HANDLE process, const void* start, void* parameter) {
    const HANDLE thread = CreateRemoteThread(
        process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(const_cast<void*>(start)),
        parameter, 0, nullptr);
    CHECK(thread != nullptr);
    if (thread == nullptr) return 0xFFFFFFFF;
    CHECK(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

// A copy of size bytes of data in process's memory.
void* CopyInto(HANDLE process, const void* data, size_t size) {
    void* copy = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (copy != nullptr) WriteProcessMemory(process, copy, data, size, nullptr);
    return copy;
}

// The DLL search and the controls' fonts, seen from inside the tool. kernel32
// lies at the same address in every process, so LoadLibraryA's address here
// is its address there too. Returns the probe's report.
std::string ProbeFromInside(HANDLE process, const std::string& dll) {
    const void* loadLibrary = reinterpret_cast<const void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA"));
    const DWORD byName = RunRemote(process, loadLibrary, CopyInto(process, kProbeDll, sizeof kProbeDll));
    std::printf("%s by its bare name in the tool: module %#lx\n", kProbeDll, byName);
    CHECK(byName == 0);
    const DWORD base = RunRemote(process, loadLibrary, CopyInto(process, dll.c_str(), dll.size() + 1));
    std::printf("%s by its full path in the tool: module %#lx\n", dll.c_str(), base);
    CHECK(base != 0);

    // The export's offset in the DLL is the same wherever it is loaded.
    const HMODULE local = LoadLibraryExA(dll.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    const FARPROC probe = local != nullptr ? GetProcAddress(local, "ProbeControlFonts") : nullptr;
    CHECK(probe != nullptr);
    if (base == 0 || probe == nullptr) return "";
    const UINT_PTR remoteProbe =
        base + (reinterpret_cast<UINT_PTR>(probe) - reinterpret_cast<UINT_PTR>(local));
    char report[1024] = "";
    void* remoteReport = CopyInto(process, report, sizeof report);
    const DWORD missing = RunRemote(process, reinterpret_cast<const void*>(remoteProbe), remoteReport);
    ReadProcessMemory(process, remoteReport, report, sizeof report - 1, nullptr);
    std::printf("%s", report);
    std::printf("characters without a glyph, and clipped controls: %lu\n", missing);
    CHECK(missing == 0);
    FreeLibrary(local);
    return report;
}

// The tool's message boxes on the screen: windows of the dialog class with
// their text in control 0xFFFF. The tool's window has the controls 100 to
// 102 instead.
struct Boxes {
    DWORD process;
    int count;
    HWND box;  // the last one met
};

BOOL CALLBACK NoteBox(HWND window, LPARAM parameter) {
    Boxes& boxes = *reinterpret_cast<Boxes*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == boxes.process && ClassOf(window) == "#32770" && GetDlgItem(window, 0xFFFF) != nullptr &&
        IsWindowVisible(window)) {
        ++boxes.count;
        boxes.box = window;
    }
    return TRUE;
}

Boxes FindBoxes(DWORD processId) {
    Boxes boxes = {processId, 0, nullptr};
    EnumWindows(NoteBox, reinterpret_cast<LPARAM>(&boxes));
    return boxes;
}

// A window of the test's own, made the active one.
HWND ActivateAnotherWindow() {
    const HWND other = CreateWindowExA(0, "STATIC", "Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                       10, 10, 200, 100, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    SetActiveWindow(other);
    for (int i = 0; i < 100 && GetForegroundWindow() != other; ++i) Sleep(20);
    CHECK(GetForegroundWindow() == other);
    return other;
}

void ClickButton(HWND form, int id) {
    RECT rect;
    GetWindowRect(GetDlgItem(form, id), &rect);
    const int x = (rect.left + rect.right) / 2, y = (rect.top + rect.bottom) / 2;
    SetCursorPos(x, y);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::printf("usage: form2_window_test <clearwick.exe> <dpi> [leaded | unwritable | twice]\n");
        return 2;
    }
    const std::string mode = argc == 4 ? argv[3] : "";
    const bool leaded = mode == "leaded";
    const bool twice = mode == "twice";
    const bool unwritable = mode == "unwritable" || twice;
    std::string exe = argv[1];
    if (exe[0] == '/') exe = "Z:" + exe;
    for (char& c : exe) if (c == '/') c = '\\';
    const int dpi = std::atoi(argv[2]);
    // The texts must read right where the ANSI code page is not Korean.
    std::printf("ANSI code page %u\n", GetACP());
    CHECK(GetACP() != 949);

    SetDpi(static_cast<DWORD>(dpi));
    if (leaded) MapMalgunGothicToNanumGothic();
    SetAutorunValue();
    DeleteFileA("C:\\clearwick.bat");
    if (unwritable) CHECK(CreateDirectoryA("C:\\clearwick.bat", nullptr));

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + exe + "\"";
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup,
                        &process)) {
        std::printf("cannot start %s: error %lu\n", exe.c_str(), GetLastError());
        return 1;
    }
    // The window exists before its controls do: wait until it is shown and
    // a control has the focus.
    WaitForInputIdle(process.hProcess, 10000);
    HWND form = nullptr;
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    for (int i = 0; i < 400; ++i) {
        form = FindWindowA(nullptr, "Clearwick");
        if (form != nullptr && IsWindowVisible(form) && GetGUIThreadInfo(process.dwThreadId, &gui) &&
            gui.hwndFocus != nullptr) {
            break;
        }
        Sleep(50);
    }
    CHECK(form != nullptr);
    if (form == nullptr) return 1;

    CHECK(TextOf(form) == L"Clearwick");
    // A dialog box, which screen readers read aloud as it opens.
    std::printf("window class %s\n", ClassOf(form).c_str());
    CHECK(ClassOf(form) == "#32770");
    RECT client;
    GetClientRect(form, &client);
    std::printf("client area %ldx%ld at %d dpi\n", client.right, client.bottom, dpi);
    CHECK(client.right == Pixels(5700, dpi));
    CHECK(client.bottom == Pixels(1785, dpi));
    CHECK((GetWindowLongA(form, GWL_STYLE) & WS_THICKFRAME) == 0);  // fixed size

    HWND child = GetWindow(form, GW_CHILD);  // children come in tab order
    for (const Expected& want : kControls) {
        CHECK(child != nullptr);
        if (child == nullptr) break;
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&rect), 2);
        std::printf("control %d %s at %ld,%ld %ldx%ld\n", GetDlgCtrlID(child), ClassOf(child).c_str(),
                    rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        CHECK(GetDlgCtrlID(child) == want.id);
        CHECK(lstrcmpiA(ClassOf(child).c_str(), want.className) == 0);
        CHECK(TextOf(child) == want.text);
        CHECK(IsWindowUnicode(child));
        CHECK(rect.left == Pixels(want.left, dpi) && rect.top == Pixels(want.top, dpi));
        if (leaded) {
            // Grown where the face needs it, never shrunk, still inside.
            CHECK(rect.right - rect.left >= Pixels(want.width, dpi));
            CHECK(rect.bottom - rect.top >= Pixels(want.height, dpi));
            CHECK(rect.right <= client.right && rect.bottom <= client.bottom);
        } else {
            CHECK(rect.right - rect.left == Pixels(want.width, dpi));
            CHECK(rect.bottom - rect.top == Pixels(want.height, dpi));
        }
        if (want.id != 100) {
            // Plain push buttons: neither is the default button.
            CHECK((GetWindowLongA(child, GWL_STYLE) & 0xF) == BS_PUSHBUTTON);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    CHECK(child == nullptr);

    CHECK(gui.hwndFocus == GetDlgItem(form, 101));

    if (!unwritable) {
        const std::string report =
            ProbeFromInside(process.hProcess, exe.substr(0, exe.rfind('\\') + 1) + kProbeDll);
        // The row measures the face it means to.
        if (leaded) CHECK(report.find("control 100: face \"Malgun Gothic\"") != std::string::npos);
    }

    if (twice) {
        const HWND other = ActivateAnotherWindow();
        PostMessageA(GetDlgItem(form, 101), BM_CLICK, 0, 0);
        PostMessageA(GetDlgItem(form, 101), BM_CLICK, 0, 0);
        for (int i = 0; i < 200 && FindBoxes(process.dwProcessId).count == 0; ++i) Sleep(50);
        // A second removal would have shown its own box by now.
        Sleep(1000);
        std::printf("message boxes after two clicks: %d\n", FindBoxes(process.dwProcessId).count);
        CHECK(FindBoxes(process.dwProcessId).count == 1);
        // The box keeps the window from input: a real click on Cancel, with
        // the box moved off it, does nothing.
        CHECK(!IsWindowEnabled(form));
        SetWindowPos(FindBoxes(process.dwProcessId).box, nullptr, 0, 500, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ClickButton(form, 102);
        Sleep(500);
        CHECK(WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT);
        CHECK(FindBoxes(process.dwProcessId).count == 1);
        DestroyWindow(other);
    } else if (unwritable) {
        ClickButton(form, 101);
    }
    if (unwritable) {
        HWND report = nullptr;
        for (int i = 0; i < 200 && report == nullptr; ++i) {
            report = FindBoxes(process.dwProcessId).box;
            if (report == nullptr) Sleep(50);
        }
        CHECK(report != nullptr);
        CHECK(TextOf(report) == L"Clearwick");
        char text[1024] = "";
        GetDlgItemTextA(report, 0xFFFF, text, sizeof text);  // a message box's text
        std::printf("report: %s\n", text);
        CHECK(std::strstr(text, "could not write") != nullptr);
        CHECK(std::strstr(text, "c:\\clearwick.bat") != nullptr);
        if (twice) {
            ClickButton(report, IDOK);  // the tool is not the active program
        } else {
            // Dismissed with the keyboard: Enter on its OK button.
            INPUT keys[2] = {};
            keys[0].type = keys[1].type = INPUT_KEYBOARD;
            keys[0].ki.wVk = keys[1].ki.wVk = VK_RETURN;
            keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
            SendInput(2, keys, sizeof(INPUT));
        }
    } else {
        ClickButton(form, 102);
    }
    CHECK(WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    std::printf("exit code %lu\n", exitCode);
    if (unwritable) {
        // What came before the write stays done; the folder is untouched.
        CHECK(exitCode != 0 && exitCode != STILL_ACTIVE);
        CHECK(!HasAutorunValue());
        CHECK(GetFileAttributesA("C:\\clearwick.bat") == FILE_ATTRIBUTE_DIRECTORY);
    } else {
        CHECK(exitCode == 0);
        CHECK(HasAutorunValue());
        CHECK(GetFileAttributesA("C:\\clearwick.bat") == INVALID_FILE_ATTRIBUTES);
    }
    TerminateProcess(process.hProcess, 1);  // only if the click was lost

    return wine_test::Finish();
}
