// Form2's window and the program's start.
//
// The window is made in code with the A calls, which every Win32 has. Its
// Korean texts are stored as code page 949 bytes: the 9x family takes them as
// they are (a Korean 9x reads them in its own ANSI code page), while on the
// NT family they are converted to UTF-16 and the controls are made with the W
// calls, so they read right whatever the system's ANSI code page. Windows 95
// lacks those W calls, so they are looked up at run time, never imported.
#include <windows.h>

#include <cstring>

#include "platform/win32_platform.h"
#include "window/form2.h"
#include "window/form2_layout.h"
#include "window/resource.h"

namespace clearwick {
namespace {

constexpr char kClassName[] = "ClearwickForm2";
constexpr int kLabel1Id = 100;
// Not IDOK (1) or IDCANCEL (2): the dialog keys send those, and neither
// button is the window's default or cancel button.
constexpr int kCmdOkId = 101;
constexpr int kCmdCancelId = 102;

using CreateWindowExWFn = HWND(WINAPI*)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND,
                                        HMENU, HINSTANCE, LPVOID);
using CreateFontIndirectWFn = HFONT(WINAPI*)(const LOGFONTW*);

template <typename Fn>
Fn Lookup(const char* module, const char* name) {
    const HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

// The W calls the NT family gets; both null on the 9x family.
struct WideCalls {
    CreateWindowExWFn createWindowExW = nullptr;
    CreateFontIndirectWFn createFontIndirectW = nullptr;

    static WideCalls ForThisSystem() {
        WideCalls calls;
        if ((GetVersion() & 0x80000000u) != 0) return calls;  // 9x and Win32s: ANSI only
        calls.createWindowExW = Lookup<CreateWindowExWFn>("user32.dll", "CreateWindowExW");
        calls.createFontIndirectW = Lookup<CreateFontIndirectWFn>("gdi32.dll", "CreateFontIndirectW");
        return calls;
    }
};

// False when the system has no code page 949 table; the caller then falls
// back to the bytes as they are.
template <int N>
bool FromKorean(const char* cp949, WCHAR (&out)[N]) {
    return MultiByteToWideChar(kKoreanCodePage, 0, cp949, -1, out, N) != 0;
}

}  // namespace

// The window of one Form2: its handles, and the procedure that hands the
// buttons' clicks to the removal members.
struct Form2Window {
    Form2& form;
    const WideCalls wide = WideCalls::ForThisSystem();
    HWND window = nullptr;
    HWND cmdOK = nullptr;
    HWND focus = nullptr;  // the control that gets the focus back on activation
    HBRUSH background = nullptr;
    HFONT labelFont = nullptr;
    HFONT defaultFont = nullptr;
    int dpiX = 96;
    int dpiY = 96;

    // The one window of the process; its procedure finds it here.
    static Form2Window* current;

    explicit Form2Window(Form2& owner) : form(owner) {}

    ~Form2Window() {
        if (labelFont != nullptr) DeleteObject(labelFont);
        if (defaultFont != nullptr) DeleteObject(defaultFont);
        if (background != nullptr) DeleteObject(background);
    }

    // A font with Hangul glyphs: the label's face, in charset 129.
    HFONT CreateHangulFont(int height) const {
        LOGFONTA font;
        std::memset(&font, 0, sizeof font);
        font.lfHeight = height;
        font.lfWeight = kLabelFontWeight;
        font.lfCharSet = kHangulCharset;
        lstrcpynA(font.lfFaceName, kLabelFontFace, LF_FACESIZE);
        if (wide.createFontIndirectW != nullptr) {
            // LOGFONTA and LOGFONTW differ only in the face name, their last field.
            LOGFONTW wideFont;
            std::memcpy(&wideFont, &font, offsetof(LOGFONTA, lfFaceName));
            if (FromKorean(kLabelFontFace, wideFont.lfFaceName)) return wide.createFontIndirectW(&wideFont);
        }
        return CreateFontIndirectA(&font);
    }

    HWND CreateControl(const char* className, const WCHAR* wideClassName, const char* text,
                       DWORD style, const TwipRect& rect, int id, HFONT font) const {
        const int x = TwipsToPixels(rect.left, dpiX);
        const int y = TwipsToPixels(rect.top, dpiY);
        const int width = TwipsToPixels(rect.width, dpiX);
        const int height = TwipsToPixels(rect.height, dpiY);
        const HMENU menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        style |= WS_CHILD | WS_VISIBLE;

        HWND control = nullptr;
        WCHAR wideText[64];
        if (wide.createWindowExW != nullptr && FromKorean(text, wideText)) {
            control = wide.createWindowExW(0, wideClassName, wideText, style, x, y, width, height,
                                           window, menu, instance, nullptr);
        }
        if (control == nullptr) {
            control = CreateWindowExA(0, className, text, style, x, y, width, height, window, menu,
                                      instance, nullptr);
        }
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return control;
    }

    bool Create() {
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        const HDC screen = GetDC(nullptr);
        dpiX = GetDeviceCaps(screen, LOGPIXELSX);
        dpiY = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);

        background = CreateSolidBrush(kBackgroundColor);
        labelFont = CreateHangulFont(FontHeightForCentipoints(kLabelFontCentipoints, dpiY));
        // The window's default font, which the buttons use: the system's
        // dialog font size, in a face that can draw Hangul.
        LOGFONTA gui;
        std::memset(&gui, 0, sizeof gui);
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
        defaultFont = CreateHangulFont(gui.lfHeight != 0 ? gui.lfHeight : -MulDiv(8, dpiY, 72));

        WNDCLASSA windowClass;
        std::memset(&windowClass, 0, sizeof windowClass);
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLEARWICK));
        windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
        windowClass.hbrBackground = background;
        windowClass.lpszClassName = kClassName;
        if (RegisterClassA(&windowClass) == 0) return false;

        // A small fixed window, centred in the work area.
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        RECT frame = {0, 0, TwipsToPixels(kClientWidthTwips, dpiX),
                      TwipsToPixels(kClientHeightTwips, dpiY)};
        AdjustWindowRectEx(&frame, style, FALSE, 0);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        RECT work;
        if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
            work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        }
        window = CreateWindowExA(0, kClassName, kFormTitle, style,
                                 work.left + (work.right - work.left - width) / 2,
                                 work.top + (work.bottom - work.top - height) / 2, width, height,
                                 nullptr, nullptr, instance, nullptr);
        if (window == nullptr) return false;

        // Created in tab order.
        CreateControl("STATIC", L"STATIC", kLabel1Text, SS_LEFTNOWORDWRAP | SS_NOPREFIX, kLabel1Rect,
                      kLabel1Id, labelFont);
        cmdOK = CreateControl("BUTTON", L"BUTTON", kCmdOkText, BS_PUSHBUTTON | WS_TABSTOP,
                              kCmdOkRect, kCmdOkId, defaultFont);
        CreateControl("BUTTON", L"BUTTON", kCmdCancelText, BS_PUSHBUTTON | WS_TABSTOP,
                      kCmdCancelRect, kCmdCancelId, defaultFont);
        focus = cmdOK;
        return true;
    }

    int Run() {
        current = this;
        if (!Create()) {
            form.platform_.RuntimeError(Failure::NoWindow, nullptr, GetLastError());
            return 1;
        }
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);

        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            // Tab, Shift+Tab and Space between the buttons, as in a dialog.
            if (IsDialogMessageA(window, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        current = nullptr;
        return static_cast<int>(message.wParam);
    }

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_COMMAND:
                // Only the buttons' own clicks: the dialog keys' IDOK and
                // IDCANCEL come with no control and are ignored.
                if (HIWORD(wParam) == BN_CLICKED && lParam != 0) {
                    if (LOWORD(wParam) == kCmdOkId) form.cmdOK_Click();
                    if (LOWORD(wParam) == kCmdCancelId) form.cmdCancel_Click();
                }
                return 0;
            case WM_CTLCOLORSTATIC:
                // The label stands on the window's own background.
                SetBkColor(reinterpret_cast<HDC>(wParam), kBackgroundColor);
                return reinterpret_cast<LRESULT>(background);
            case WM_ACTIVATE:
                if (LOWORD(wParam) == WA_INACTIVE) {
                    const HWND focused = GetFocus();
                    if (focused != nullptr && IsChild(window, focused)) focus = focused;
                }
                break;
            case WM_SETFOCUS:
                if (focus != nullptr) SetFocus(focus);
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        // Messages sent while CreateWindowExA runs come before the handle is known.
        if (current == nullptr || current->window != hwnd) {
            return DefWindowProcA(hwnd, message, wParam, lParam);
        }
        return current->Handle(message, wParam, lParam);
    }
};

Form2Window* Form2Window::current = nullptr;

int Form2::Show() { return Form2Window(*this).Run(); }

}  // namespace clearwick

// The process starts here, with no C run-time before it: the platform first
// (which keeps DLL loading to the system folder), then Form2's window until
// the program ends; the window's loop gives the exit code.
extern "C" void WinMainCRTStartup() {
    clearwick::Win32Platform platform;
    ExitProcess(static_cast<UINT>(clearwick::Form2(platform).Show()));
}
