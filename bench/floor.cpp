// The floor: the least a program can do and still do Clearwick's job. The
// same question, buttons, fonts, colours and layout in one window; on the
// first button, the removal in direct Win32 calls. It carries the same icon,
// version record and manifest, so that its size and Clearwick's differ only
// by code. Built as clearwick.exe is, it has no C run-time: it starts at its
// own WinMainCRTStartup and ends in ExitProcess. With FLOOR_WITH_CRT it is
// the same program on mingw-w64's C run-time (WinMain). It only runs on the
// NT family, so it calls the W functions directly.
#include <windows.h>

namespace {

const wchar_t kQuestion[] =
    L"\uC2DC\uC791 \uD398\uC774\uC9C0 \uBCC0\uACBD \uD504\uB85C\uADF8\uB7A8\uC744 "
    L"\uC0AD\uC81C\uD558\uC2DC\uACA0\uC2B5\uB2C8\uAE4C?";
const wchar_t kOk[] = L"\uD655\uC778";
const wchar_t kCancel[] = L"\uCDE8\uC18C";
// Named outright, the least that draws readable Hangul on the benchmark's
// machine: there Wine maps GulimChe to Droid Sans Fallback, which has no
// Hangul glyphs, and Clearwick's own search picks NanumGothicCoding.
const wchar_t kHangulFace[] = L"NanumGothicCoding";

const char kScript[] =
    "@echo off\r\n"
    "cd C:\\Program Files\\Larkvane\r\n"
    "del /q glintfold.exe\r\n"
    "del /q clearwick.exe\r\n"
    "del /q kelp_note.txt\r\n"
    "cd C:\\Program Files\r\n"
    "rmdir /q Larkvane\r\n"
    "cd C:\\\r\n";

const COLORREF kBackground = RGB(224, 224, 224);
HBRUSH g_background;
int g_dpi;  // set first thing in Run: no initial value, so the file needs no .data

int Px(int twips) { return MulDiv(twips, g_dpi, 1440); }

HFONT Hangul(int height) {
    LOGFONTW font = {};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = HANGUL_CHARSET;
    lstrcpyW(font.lfFaceName, kHangulFace);
    return CreateFontIndirectW(&font);
}

HWND Control(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int l, int t,
             int w, int h, int id, HFONT font) {
    HWND c = CreateWindowExW(0, cls, text, style | WS_CHILD | WS_VISIBLE, Px(l), Px(t), Px(w), Px(h),
                             parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleA(nullptr), nullptr);
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return c;
}

void Remove() {
    HWND product = FindWindowA(nullptr, "Glintfold");
    if (product != nullptr) SendMessageA(product, WM_CLOSE, 0, 0);

    HKEY run;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", &run) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(run, "Glintfold");
        RegCloseKey(run);
    }

    HANDLE file = CreateFileA("c:\\clearwick.bat", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written;
    WriteFile(file, kScript, sizeof kScript - 1, &written, nullptr);
    CloseHandle(file);

    // Out of the product's folder: a process's current folder cannot be
    // removed. WinExec, as Clearwick starts it: in kernel32, it loads nothing.
    SetCurrentDirectoryA("C:\\");
    WinExec("c:\\clearwick.bat", SW_SHOWMINIMIZED);
    ExitProcess(0);
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == 101) Remove();
            if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == 102) ExitProcess(0);
            return 0;
        case WM_CTLCOLORSTATIC:
            SetBkColor(reinterpret_cast<HDC>(wParam), kBackground);
            return reinterpret_cast<LRESULT>(g_background);
        case WM_DESTROY:
            ExitProcess(0);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The window, until the first button or the window's end calls ExitProcess.
int Run(HINSTANCE instance) {
    HDC screen = GetDC(nullptr);
    g_dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    g_background = CreateSolidBrush(kBackground);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = g_background;
    windowClass.lpszClassName = "Floor";
    RegisterClassA(&windowClass);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, Px(5700), Px(1785)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    HWND window = CreateWindowExA(0, "Floor", "Clearwick", style,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                  nullptr, nullptr, instance, nullptr);

    LOGFONTA gui = {};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
    HFONT buttons = Hangul(gui.lfHeight);
    Control(window, L"STATIC", kQuestion, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 480, 480, 4725, 195, 100,
            Hangul(-MulDiv(975, g_dpi, 7200)));
    HWND ok = Control(window, L"BUTTON", kOk, BS_PUSHBUTTON | WS_TABSTOP, 1320, 975, 1000, 400, 101,
                      buttons);
    Control(window, L"BUTTON", kCancel, BS_PUSHBUTTON | WS_TABSTOP, 3000, 975, 1000, 400, 102,
            buttons);

    ShowWindow(window, SW_SHOWNORMAL);
    SetFocus(ok);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

}  // namespace

#ifdef FLOOR_WITH_CRT
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return Run(instance); }
#else
extern "C" void WinMainCRTStartup() { ExitProcess(static_cast<UINT>(Run(GetModuleHandleA(nullptr)))); }
#endif
