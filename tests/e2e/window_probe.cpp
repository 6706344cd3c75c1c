// For the end-to-end tests, reads another program's window from outside: where its
// controls are on screen (to click them with the real mouse) and their texts, as UTF-8.
//
//   show <title> [box]  the top-level window of exactly that title that is not a
//                       message box; with "box", that message box; exits 1 if none
//   acp                 the ANSI and OEM code pages of this prefix
//   fonts               "font <face>" per face the A calls list under Hangul's charset
//   desktop             exits with 0 once Wine's desktop window exists
//   restore <title>     posts SC_RESTORE, as a task bar restores a window
//   hook <dll>          sets slow_destroy_hook.dll's global CBT hook, prints "hooked",
//                       keeps it until windows titled "Clearwick" came and all went
//   dpi <title> <dpi>   tells the tool's window its DPI is now dpi, as on a move to a
//                       monitor of that scale, from inside the tool through the
//                       control_fonts_probe.dll beside this program; prints "dpi
//                       <answered> <width> <height> <fonts left>" and the layout after;
//                       exits with 1 unless the window answered and freed its old fonts
//
// `show` prints one record a line, fields separated by tabs:
//   window  <hwnd> <class> <l> <t> <r> <b> <style> <text>
//   client  <l> <t> <r> <b>                    (screen coordinates)
//   input   <1 if the window takes input now, else 0>
//   focus   <control id or 0>
//   closebox <x> <y>, minbox <x> <y>           (centres of those buttons)
//   control <id> <class> <l> <t> <r> <b> <visible> <text>   (in Z order)
// A window takes input once it is shown and enabled, answers a message and its process
// waits for input; the probe waits up to 2 s for each, times CLEARWICK_WAIT_FACTOR.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wine/check.h"
#include "wine/probe_dll.h"

using wine_test::Scaled;

namespace {

void Write(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
              nullptr);
}

void Print(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Write(line);
}

// Tabs and line breaks in a text would break the record; show them escaped.
// In UTF-8 their bytes are never part of another character.
void WriteText(const wchar_t* text) {
    char utf8[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0) return;
    std::string escaped;
    for (const char* p = utf8; *p != '\0'; ++p) {
        escaped += *p == '\t' ? "\\t" : *p == '\r' ? "\\r" : *p == '\n' ? "\\n" : std::string(1, *p);
    }
    Write(escaped.c_str());
}

void WriteRect(const RECT& r) { Print("\t%ld\t%ld\t%ld\t%ld", r.left, r.top, r.right, r.bottom); }

void WriteWindow(HWND window, const char* head, const char* middle) {
    wchar_t text[512], className[256];
    GetClassNameW(window, className, 256);
    GetWindowTextW(window, text, 512);
    RECT r;
    GetWindowRect(window, &r);
    Write(head);
    WriteText(className);
    WriteRect(r);
    Write(middle);
    WriteText(text);
    Write("\n");
}

bool TakesInput(HWND window) {
    DWORD_PTR answer = 0;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!IsWindowVisible(window) || !IsWindowEnabled(window) ||
        !SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, Scaled(2000), &answer)) {
        return false;
    }
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == nullptr) return false;
    const bool idle = WaitForInputIdle(process, Scaled(2000)) == 0;
    CloseHandle(process);
    return idle;
}

LRESULT HitTest(HWND window, int x, int y) {
    DWORD_PTR result = 0;
    const LRESULT sent = SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG,
                                             Scaled(2000), &result);
    return sent != 0 ? static_cast<LRESULT>(result) : HTNOWHERE;
}

// The middle of the first run of points, from `from` towards `to` along the
// row (or column) at `fixed`, that the window says are `button`; -1 if none.
int RunMiddle(HWND window, LRESULT button, bool row, int fixed, int from, int to) {
    const int step = from < to ? 1 : -1;
    int first = -1, last = -1;
    for (int i = from; i != to && (first < 0 || last == i - step); i += step) {
        if (HitTest(window, row ? i : fixed, row ? fixed : i) != button) continue;
        if (first < 0) first = i;
        last = i;
    }
    return first < 0 ? -1 : (first + last) / 2;
}

// Where a title bar button (HTCLOSE, HTMINBUTTON) is, by asking the window what each
// point of its title bar is, so nothing depends on how the title bar is drawn.
bool FindTitleButton(HWND window, LRESULT button, int* x, int* y) {
    RECT frame;
    GetWindowRect(window, &frame);
    const int captionMiddle =
        frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    *x = RunMiddle(window, button, true, captionMiddle, frame.right - 1, frame.left - 1);
    *y = *x < 0 ? -1 : RunMiddle(window, button, false, *x, frame.top, frame.bottom);
    return *y >= 0;
}

int CALLBACK NoteFace(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM) {
    wchar_t face[LF_FACESIZE];
    if (MultiByteToWideChar(CP_ACP, 0, font->lfFaceName, -1, face, LF_FACESIZE) == 0) face[0] = L'\0';
    Write("font\t");
    WriteText(face);
    Write("\n");
    return 1;
}

// The top-level window of exactly that title, top first, as FindWindow looks. A message
// box is a dialog with its text in control 65535; the tool's has controls 100 to 102.
HWND Find(const wchar_t* title, bool box) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, nullptr, title)) != nullptr) {
        wchar_t text[512], className[64];
        GetWindowTextW(window, text, 512);
        GetClassNameW(window, className, 64);
        const bool isBox = lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, 0xFFFF) != nullptr;
        if (lstrcmpW(text, title) == 0 && isBox == box) return window;
    }
    Write("no window\n");
    return nullptr;
}

int Show(const wchar_t* title, bool box) {
    const HWND window = Find(title, box);
    if (window == nullptr) return 1;
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    char head[64], middle[32];
    std::snprintf(head, sizeof head, "window\t%p\t", static_cast<void*>(window));
    std::snprintf(middle, sizeof middle, "\t0x%08lx\t", static_cast<unsigned long>(style));
    WriteWindow(window, head, middle);

    RECT r;
    GetClientRect(window, &r);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    OffsetRect(&r, origin.x, origin.y);
    Write("client");
    WriteRect(r);
    Print("\ninput\t%d\n", TakesInput(window) ? 1 : 0);

    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    const bool known = GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread);
    const HWND focus = known && thread.hwndFocus != window ? thread.hwndFocus : nullptr;
    Print("focus\t%d\n", focus != nullptr ? GetDlgCtrlID(focus) : 0);

    int x = 0, y = 0;
    if ((style & WS_SYSMENU) && !IsIconic(window) && FindTitleButton(window, HTCLOSE, &x, &y)) {
        Print("closebox\t%d\t%d\n", x, y);
    }
    if ((style & WS_MINIMIZEBOX) && FindTitleButton(window, HTMINBUTTON, &x, &y)) {
        Print("minbox\t%d\t%d\n", x, y);
    }

    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        std::snprintf(head, sizeof head, "control\t%d\t", GetDlgCtrlID(child));
        std::snprintf(middle, sizeof middle, "\t%d\t", IsWindowVisible(child) ? 1 : 0);
        WriteWindow(child, head, middle);
    }
    return 0;
}

int ChangeDpi(const wchar_t* title, int dpi) {
    const HWND window = Find(title, false);
    if (window == nullptr) return 1;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
    char dll[MAX_PATH];
    GetModuleFileNameA(nullptr, dll, MAX_PATH);
    std::strcpy(std::strrchr(dll, '\\') + 1, "control_fonts_probe.dll");
    RECT frame;
    GetWindowRect(window, &frame);
    probe_dll::DpiChange change = {};
    change.dpi = dpi;
    change.corner = {frame.left, frame.top};
    const DWORD base = process != nullptr ? probe_dll::LoadInto(process, dll) : 0;
    const DWORD code = base != 0 && base != 0xFFFFFFFF
                           ? probe_dll::Call(process, base, dll, "ChangeDpi", &change, sizeof change)
                           : 0xFFFFFFFF;
    if (process != nullptr) CloseHandle(process);
    Print("dpi\t%ld\t%ld\t%ld\t%d\n", static_cast<long>(change.answered), change.scaled.cx,
          change.scaled.cy, change.fontsLeft);
    Write(change.layout);
    return code == 0 && change.answered == TRUE && change.fontsLeft == 0 ? 0 : 1;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) {
        Write("usage: window_probe show <title> [box] | acp | fonts | desktop | restore <title>"
              " | hook <dll> | dpi <title> <dpi>\n");
        return 2;
    }
    if (lstrcmpW(argv[1], L"acp") == 0) {
        Print("acp\t%u\noemcp\t%u\n", GetACP(), GetOEMCP());
        return 0;
    }
    if (lstrcmpW(argv[1], L"fonts") == 0) {
        LOGFONTA hangul = {};
        hangul.lfCharSet = HANGUL_CHARSET;
        const HDC screen = GetDC(nullptr);
        EnumFontFamiliesExA(screen, &hangul, NoteFace, 0, 0);
        ReleaseDC(nullptr, screen);
        return 0;
    }
    if (lstrcmpW(argv[1], L"desktop") == 0) {
        // A Wine session's first window program starts the desktop process and
        // waits a while for it. On a starved machine the desktop window may exist
        // while no display driver could be loaded; then no window can be made.
        const HWND window = GetDesktopWindow() != nullptr
            ? CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr)
            : nullptr;
        if (window == nullptr) return 1;
        DestroyWindow(window);
        return 0;
    }
    if (argc < 3) return 2;
    if (lstrcmpW(argv[1], L"show") == 0) return Show(argv[2], argc > 3 && lstrcmpW(argv[3], L"box") == 0);
    if (lstrcmpW(argv[1], L"dpi") == 0 && argc > 3) return ChangeDpi(argv[2], _wtoi(argv[3]));
    if (lstrcmpW(argv[1], L"restore") == 0) {
        const HWND window = FindWindowW(nullptr, argv[2]);
        return window != nullptr && PostMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0) ? 0 : 1;
    }
    if (lstrcmpW(argv[1], L"hook") == 0) {
        const HMODULE dll = LoadLibraryW(argv[2]);
        const auto hook = reinterpret_cast<HOOKPROC>(
            reinterpret_cast<void*>(GetProcAddress(dll, "SlowDestroy")));
        if (hook == nullptr || SetWindowsHookExW(WH_CBT, hook, dll, 0) == nullptr) return 1;
        Write("hooked\n");
        // A hook lives as long as the thread that set it.
        bool seen = false;
        for (;;) {
            const bool there = FindWindowW(nullptr, L"Clearwick") != nullptr;
            if (seen && !there) return 0;
            seen = seen || there;
            Sleep(50);
        }
    }
    return 2;
}
