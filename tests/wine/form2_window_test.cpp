// Starts clearwick.exe under Wine, reads its window from outside (title, class,
// client size at the display's DPI, each control's class, UTF-16 text, position;
// the focus); a real click on Cancel must then end it with nothing changed.
//
// Before the click it also looks from inside, through control_fonts_probe.dll
// beside clearwick.exe: the tool must not find that DLL by bare name (its DLL
// search stays in the system folder), though it loads it by full path; each
// control's font needs a glyph for every character of its text, and the cell
// and the text's extent must fit the control. Then the window's DPI changes ten
// times between 96 and 144, as on moves between monitors: after each, the layout
// (client size, each control's place, size and font) must be a fresh start's at
// that DPI (a second instance shows it), the old fonts gone, WM_GETDPISCALEDSIZE
// answering a fresh start's window size, the window at the suggested place.
//
// Usage: form2_window_test <clearwick.exe, Unix or Windows path> <dpi>
//        [leaded | unwritable | twice]
// - leaded: the name Malgun Gothic, which the tool takes before the usual
//   NanumGothicCoding, stands for NanumGothic, whose line height is more than
//   the label's box: the controls must grow to fit it.
// - unwritable: C:\clearwick.bat is a folder, OK is clicked: the tool must report
//   it cannot write the script, name the path, and exit non-zero once dismissed.
// - twice: the same, with another window active and OK pressed by two posted
//   BM_CLICKs as automation tools do: one removal; the report disables the window.
#include <windows.h>

#include "wine/check.h"
#include "wine/probe_dll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using wine_test::Scaled;
using wine_test::WaitFor;

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
    CHECK(RegSetKeyValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels", REG_DWORD, &dpi,
                          sizeof dpi) == ERROR_SUCCESS);
}

bool HasAutorunValue() {
    return RegGetValueA(HKEY_LOCAL_MACHINE, kRunKey, "Glintfold", RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

const char kProbeDll[] = "control_fonts_probe.dll";

// The probe DLL in a running tool: its full path, and where it lies there.
struct Probe {
    HANDLE process;
    std::string dll;
    UINT_PTR base;

    DWORD Call(const char* name, void* data, size_t size) const {
        const DWORD code = probe_dll::Call(process, base, dll.c_str(), name, data, size);
        CHECK(code != 0xFFFFFFFF);
        return code;
    }

    std::string Layout() const {
        char report[1024] = "";
        CHECK(Call("ProbeLayout", report, sizeof report - 1) == 0);
        return report;
    }
};

// The DLL search, seen from inside the tool, and the probe loaded there.
Probe LoadProbe(HANDLE process, const std::string& dll) {
    const DWORD byName = probe_dll::LoadInto(process, kProbeDll);
    std::printf("%s by its bare name in the tool: module %#lx\n", kProbeDll, byName);
    CHECK(byName == 0);
    const DWORD base = probe_dll::LoadInto(process, dll.c_str());
    std::printf("%s by its full path in the tool: module %#lx\n", dll.c_str(), base);
    CHECK(base != 0 && base != 0xFFFFFFFF);
    return {process, dll, base};
}

// The controls' fonts, seen from inside the tool. Returns the probe's report.
std::string ProbeFonts(const Probe& probe) {
    char report[1024] = "";
    const DWORD missing = probe.Call("ProbeControlFonts", report, sizeof report - 1);
    std::printf("%s", report);
    std::printf("characters without a glyph, and clipped controls: %lu\n", missing);
    CHECK(missing == 0);
    return report;
}

BOOL CALLBACK NoteWindow(HWND window, LPARAM parameter) {
    auto& found = *reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == found.first) found.second.push_back(window);
    return TRUE;
}

// The process's top-level windows, top first.
std::vector<HWND> WindowsOf(DWORD process) {
    std::pair<DWORD, std::vector<HWND>> found = {process, {}};
    EnumWindows(NoteWindow, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

// The process's message boxes on the screen: dialogs with their text in
// control 0xFFFF. The tool's window has the controls 100 to 102 instead.
std::vector<HWND> BoxesOf(DWORD process) {
    std::vector<HWND> boxes;
    for (const HWND window : WindowsOf(process)) {
        if (ClassOf(window) == "#32770" && GetDlgItem(window, 0xFFFF) != nullptr && IsWindowVisible(window)) {
            boxes.push_back(window);
        }
    }
    return boxes;
}

HWND LastBoxOf(DWORD process) {
    const std::vector<HWND> boxes = BoxesOf(process);
    return boxes.empty() ? nullptr : boxes.back();
}

// Starts the tool; its window, once it is shown and a control has the focus
// (the window exists before its controls do), or null.
HWND StartTool(const std::string& exe, PROCESS_INFORMATION& process, GUITHREADINFO& gui) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = "\"" + exe + "\"";
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup,
                        &process)) {
        std::printf("cannot start %s: error %lu\n", exe.c_str(), GetLastError());
        return nullptr;
    }
    WaitForInputIdle(process.hProcess, Scaled(10000));
    gui.cbSize = sizeof gui;
    HWND form = nullptr;
    const bool up = WaitFor(
        [&] {
            form = nullptr;
            for (const HWND window : WindowsOf(process.dwProcessId)) {
                if (form == nullptr && GetDlgItem(window, 100) != nullptr) form = window;  // not a box
            }
            return form != nullptr && IsWindowVisible(form) && GetGUIThreadInfo(process.dwThreadId, &gui) &&
                   gui.hwndFocus != nullptr;
        },
        20000);
    return up ? form : nullptr;
}

SIZE WindowSize(HWND window) {
    RECT frame;
    GetWindowRect(window, &frame);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

struct FreshLayout {
    int dpi;
    std::string layout;
    SIZE window;
};

// Ten DPI changes, to other.dpi and back: after each, a fresh start's layout.
void ChangeDpiBackAndForth(const Probe& probe, HWND form, const FreshLayout& start,
                           const FreshLayout& other) {
    RECT place;
    GetWindowRect(form, &place);
    for (int i = 0; i < 10; ++i) {
        const FreshLayout& from = i % 2 == 0 ? start : other;
        const FreshLayout& to = i % 2 == 0 ? other : start;
        probe_dll::DpiChange change = {};
        change.dpi = to.dpi;
        change.corner = {place.left + 10 * (i + 1), place.top + 5 * (i + 1)};
        CHECK(probe.Call("ChangeDpi", &change, sizeof change) == 0);
        if (i < 2) {
            std::printf("after %d -> %d dpi:\n%sfresh start at %d dpi:\n%s", from.dpi, to.dpi, change.layout,
                        to.dpi, to.layout.c_str());
        }
        std::printf("change %d, %d -> %d dpi: %s layout; WM_GETDPISCALEDSIZE %ld: %ldx%ld, a fresh window "
                    "%ldx%ld; at %ld,%ld for %ld,%ld; fonts left %d\n",
                    i + 1, from.dpi, to.dpi, to.layout == change.layout ? "a fresh start's" : "ANOTHER",
                    static_cast<long>(change.answered), change.scaled.cx, change.scaled.cy, to.window.cx,
                    to.window.cy, change.placed.x, change.placed.y, change.corner.x, change.corner.y,
                    change.fontsLeft);
        CHECK(change.layout == to.layout);
        CHECK(change.answered == TRUE);
        CHECK(change.scaled.cx == to.window.cx && change.scaled.cy == to.window.cy);
        CHECK(change.placed.x == change.corner.x && change.placed.y == change.corner.y);
        CHECK(change.fontsLeft == 0);
    }
}

HWND ActivateAnotherWindow() {
    const HWND other = CreateWindowExA(0, "STATIC", "Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                       10, 10, 200, 100, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    SetActiveWindow(other);
    CHECK(WaitFor([&] { return GetForegroundWindow() == other; }, 2000));
    return other;
}

// A real click in the control's middle, once the control (or its window, if a box
// keeps that from input) lies under that point; never repeated: it could act twice.
// The press and release carry the point: after a SetCursorPos, the click on the
// session's first window was now and then lost in the emulated machine.
void ClickButton(HWND window, int id) {
    const HWND button = GetDlgItem(window, id);
    RECT rect;
    GetWindowRect(button, &rect);
    const POINT at = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    const HWND target = IsWindowEnabled(window) ? button : window;
    CHECK(WaitFor([&] { return WindowFromPoint(at) == target; }, 10000));
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input[2] = {};
    for (INPUT& event : input) {
        event.type = INPUT_MOUSE;
        event.mi.dx = (at.x * 65536 + width - 1) / width;  // in 65536ths of the screen
        event.mi.dy = (at.y * 65536 + height - 1) / height;
    }
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
    CHECK(SendInput(2, input, sizeof(INPUT)) == 2);
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
    const std::string exe = wine_test::WindowsPath(argv[1]);
    const int dpi = std::atoi(argv[2]);
    // The texts must read right where the ANSI code page is not Korean.
    std::printf("ANSI code page %u\n", GetACP());
    CHECK(GetACP() != 949);

    SetDpi(static_cast<DWORD>(dpi));
    // As a system outside Korea has it: Malgun Gothic, no Gulim.
    if (leaded) {
        CHECK(RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\Fonts\\Replacements", "Malgun Gothic",
                              REG_SZ, "NanumGothic", 12) == ERROR_SUCCESS);
    }
    CHECK(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, "Glintfold", REG_SZ, "x", 2) == ERROR_SUCCESS);
    DeleteFileA("C:\\clearwick.bat");
    if (unwritable) CHECK(CreateDirectoryA("C:\\clearwick.bat", nullptr));

    PROCESS_INFORMATION process = {};
    GUITHREADINFO gui = {};
    const HWND form = StartTool(exe, process, gui);
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
        const std::string dll = exe.substr(0, exe.rfind('\\') + 1) + kProbeDll;
        const Probe probe = LoadProbe(process.hProcess, dll);
        const std::string report = ProbeFonts(probe);
        // The row measures the face it means to.
        if (leaded) CHECK(report.find("control 100: face \"Malgun Gothic\"") != std::string::npos);

        // A fresh start at the other DPI, in a second instance.
        const FreshLayout start = {dpi, probe.Layout(), WindowSize(form)};
        const int otherDpi = dpi == 96 ? 144 : 96;
        SetDpi(static_cast<DWORD>(otherDpi));
        PROCESS_INFORMATION second = {};
        GUITHREADINFO secondGui = {};
        const HWND secondForm = StartTool(exe, second, secondGui);
        CHECK(secondForm != nullptr);
        if (secondForm != nullptr) {
            const FreshLayout other = {otherDpi, LoadProbe(second.hProcess, dll).Layout(),
                                       WindowSize(secondForm)};
            PostMessageA(secondForm, WM_CLOSE, 0, 0);
            CHECK(WaitForSingleObject(second.hProcess, Scaled(10000)) == WAIT_OBJECT_0);
            ChangeDpiBackAndForth(probe, form, start, other);
        }
        TerminateProcess(second.hProcess, 1);  // only if it did not end
    }

    if (twice) {
        const HWND other = ActivateAnotherWindow();
        PostMessageA(GetDlgItem(form, 101), BM_CLICK, 0, 0);
        PostMessageA(GetDlgItem(form, 101), BM_CLICK, 0, 0);
        WaitFor([&] { return LastBoxOf(process.dwProcessId) != nullptr; }, 10000);
        // A second removal would have shown its own box by now.
        Sleep(Scaled(1000));
        const size_t boxes = BoxesOf(process.dwProcessId).size();
        std::printf("message boxes after two clicks: %u\n", static_cast<unsigned>(boxes));
        CHECK(boxes == 1);
        // The box keeps the window from input: a real click on Cancel, with
        // the box moved off it, does nothing.
        CHECK(!IsWindowEnabled(form));
        SetWindowPos(LastBoxOf(process.dwProcessId), nullptr, 0, 500, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ClickButton(form, 102);
        Sleep(Scaled(500));
        CHECK(WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT);
        CHECK(BoxesOf(process.dwProcessId).size() == 1);
        DestroyWindow(other);
    } else if (unwritable) {
        ClickButton(form, 101);
    }
    if (unwritable) {
        HWND report = nullptr;
        CHECK(WaitFor([&] { return (report = LastBoxOf(process.dwProcessId)) != nullptr; }, 10000));
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
            keybd_event(VK_RETURN, 0, 0, 0);
            keybd_event(VK_RETURN, 0, KEYEVENTF_KEYUP, 0);
        }
    } else {
        ClickButton(form, 102);
    }
    CHECK(WaitForSingleObject(process.hProcess, Scaled(10000)) == WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    std::printf("exit code %lu\n", exitCode);
    // Unwritable, what came before the write stays done and the folder is
    // untouched; after Cancel, nothing has changed.
    CHECK(unwritable ? exitCode != 0 && exitCode != STILL_ACTIVE : exitCode == 0);
    CHECK(HasAutorunValue() == !unwritable);
    CHECK(GetFileAttributesA("C:\\clearwick.bat") ==
          (unwritable ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES));
    TerminateProcess(process.hProcess, 1);  // only if the click was lost

    return wine_test::Finish();
}
