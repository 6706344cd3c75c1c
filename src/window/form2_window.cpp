// Form2's window and the program's start.
//
// The window is a dialog box of the system's dialog class, which screen
// readers read aloud as it opens: the question, not only the focused button.
// A template in memory gives its frame and title; the controls are made in
// code, laid out in twips at the window's DPI, and laid out again, as a fresh
// start at that DPI would, when Windows says the DPI has changed (the window
// has moved to a monitor of another scale, or the scale was changed).
//
// The Korean texts are stored as code page 949 bytes. Wherever the system
// has the W calls and a code page 949 table, the texts become UTF-16 and the
// dialog, its controls and fonts are made with the W calls, so they read
// right whatever the system's ANSI code page. Where the W calls are missing
// or fail (a real 9x has them as stubs that answer
// ERROR_CALL_NOT_IMPLEMENTED), the A calls take the bytes as they are, which
// a Korean system reads in its own ANSI code page. Windows 95 lacks the W
// calls, so they are looked up at run time, never imported.
#include <windows.h>

#include <cstring>

#include "platform/win32_lookup.h"
#include "platform/win32_platform.h"
#include "window/form2.h"
#include "window/form2_layout.h"
#include "window/resource.h"

namespace clearwick {
namespace {

constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // a small fixed window
constexpr int kLabel1Id = 100;
// Not IDOK (1) or IDCANCEL (2): the dialog keys send those, and neither
// button is the window's default or cancel button.
constexpr int kCmdOkId = 101;
constexpr int kCmdCancelId = 102;

using CreateDialogIndirectParamWFn = HWND(WINAPI*)(HINSTANCE, LPCDLGTEMPLATEW, HWND, DLGPROC, LPARAM);
using CreateWindowExWFn = HWND(WINAPI*)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND,
                                        HMENU, HINSTANCE, LPVOID);
using CreateFontIndirectWFn = HFONT(WINAPI*)(const LOGFONTW*);
using GetGlyphIndicesWFn = DWORD(WINAPI*)(HDC, LPCWSTR, int, LPWORD, DWORD);

// What Windows 10 has for windows whose DPI is their own.
// SetDialogDpiChangeBehavior and SetDialogControlDpiChangeBehavior take a
// window, a mask of behaviours and their new values.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SetDpiChangeBehaviorFn = BOOL(WINAPI*)(HWND, int, int);
using SetWindowLongAFn = LONG(WINAPI*)(HWND, int, LONG);

// The calls that not every system has, null where it lacks them.
struct LaterCalls {
    // The W calls.
    CreateDialogIndirectParamWFn createDialogIndirectParamW;
    CreateWindowExWFn createWindowExW;
    CreateFontIndirectWFn createFontIndirectW;
    GetGlyphIndicesWFn getGlyphIndicesW;  // Windows 2000 and later
    // Windows 10 1607 and later.
    GetDpiForWindowFn getDpiForWindow;
    AdjustWindowRectExForDpiFn adjustWindowRectExForDpi;
    // 1703 and later.
    SetDpiChangeBehaviorFn setDialogDpiChangeBehavior;
    SetDpiChangeBehaviorFn setDialogControlDpiChangeBehavior;
    // Every system has this one, but only what the calls above make needs
    // it, so it stays out of the import table with them.
    SetWindowLongAFn setWindowLongA;

    LaterCalls() {
        FARPROC user32[7];
        FARPROC gdi32[2];
        LookUpAll("user32.dll",
                  "CreateDialogIndirectParamW\0CreateWindowExW\0GetDpiForWindow\0AdjustWindowRectExForDpi\0"
                  "SetDialogDpiChangeBehavior\0SetDialogControlDpiChangeBehavior\0SetWindowLongA\0",
                  user32);
        LookUpAll("gdi32.dll", "CreateFontIndirectW\0GetGlyphIndicesW\0", gdi32);
        createDialogIndirectParamW = As<CreateDialogIndirectParamWFn>(user32[0]);
        createWindowExW = As<CreateWindowExWFn>(user32[1]);
        getDpiForWindow = As<GetDpiForWindowFn>(user32[2]);
        adjustWindowRectExForDpi = As<AdjustWindowRectExForDpiFn>(user32[3]);
        setDialogDpiChangeBehavior = As<SetDpiChangeBehaviorFn>(user32[4]);
        setDialogControlDpiChangeBehavior = As<SetDpiChangeBehaviorFn>(user32[5]);
        setWindowLongA = As<SetWindowLongAFn>(user32[6]);
        createFontIndirectW = As<CreateFontIndirectWFn>(gdi32[0]);
        getGlyphIndicesW = As<GetGlyphIndicesWFn>(gdi32[1]);
    }
};

// The controls, in tab order, with the IDs kLabel1Id and on. The label has
// a font of its own; the buttons have the window's default font.
struct ControlTemplate {
    const char* className;
    const WCHAR* wideClassName;
    const char* text;
    DWORD style;
    TwipRect rect;
};
// The buttons tell when they get the focus.
constexpr DWORD kButtonStyle = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP;
constexpr ControlTemplate kControls[] = {
    {"STATIC", L"STATIC", kLabel1Text, SS_LEFTNOWORDWRAP | SS_NOPREFIX, kLabel1Rect},
    {"BUTTON", L"BUTTON", kCmdOkText, kButtonStyle, kCmdOkRect},
    {"BUTTON", L"BUTTON", kCmdCancelText, kButtonStyle, kCmdCancelRect},
};
constexpr int kLabel1 = 0, kCmdOK = 1, kCmdCancel = 2, kControlCount = 3;
static_assert(kLabel1Id + kCmdOK == kCmdOkId && kLabel1Id + kCmdCancel == kCmdCancelId, "IDs in tab order");

// Faces that draw Hangul, best first. GulimChe, the label's face, comes by
// its Korean name (what a Korean system lists) and its English one. Most
// systems outside Korea lack it, and some font mappers then stand in a face
// without Hangul glyphs, which draws boxes; so the first of these that the
// system has and that draws the window's texts is taken instead.
constexpr const char* kHangulFaces[] = {
    kLabelFontFace, "GulimChe", "Gulim", "Malgun Gothic", "NanumGothicCoding", "NanumGothic",
    "Dotum", "Batang",
};

// EnumFontFamiliesExA's callback: marks each of kHangulFaces it is shown.
int CALLBACK NoteHangulFace(const LOGFONTA* font, const TEXTMETRICA*, DWORD, LPARAM found) {
    for (unsigned i = 0; i < sizeof kHangulFaces / sizeof kHangulFaces[0]; ++i) {
        if (lstrcmpiA(font->lfFaceName, kHangulFaces[i]) == 0) *reinterpret_cast<unsigned*>(found) |= 1u << i;
    }
    return 1;
}

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
    Win32Platform& platform;
    const LaterCalls later;
    HWND window = nullptr;
    HWND controls[kControlCount] = {};  // Label1, cmdOK, cmdCancel
    HWND focus = nullptr;  // the button that had the focus last
    HBRUSH background = nullptr;
    HFONT labelFont = nullptr;
    HFONT defaultFont = nullptr;
    const char* face = kLabelFontFace;  // the controls' face, chosen at start
    int dpiX = 96;  // the window's DPI, which the layout is at
    int dpiY = 96;
    int guiFontHeight = 0;  // the system's dialog font size, which the buttons' font has,
    int guiFontDpi = 96;    // given at this DPI

    // The one window of the process; its procedure finds it here.
    static Form2Window* current;

    Form2Window(Form2& owner, Win32Platform& windows) : form(owner), platform(windows) {}

    // A font in the given face and Hangul's charset.
    HFONT CreateHangulFont(const char* face, int height) const {
        LOGFONTA font;
        std::memset(&font, 0, sizeof font);
        font.lfHeight = height;
        font.lfWeight = kLabelFontWeight;
        font.lfCharSet = kHangulCharset;
        lstrcpynA(font.lfFaceName, face, LF_FACESIZE);
        if (later.createFontIndirectW != nullptr) {
            // LOGFONTA and LOGFONTW differ only in the face name, their last field.
            LOGFONTW wideFont;
            std::memcpy(&wideFont, &font, offsetof(LOGFONTA, lfFaceName));
            if (FromKorean(face, wideFont.lfFaceName)) {
                if (const HFONT made = later.createFontIndirectW(&wideFont)) return made;
            }
        }
        return CreateFontIndirectA(&font);
    }

    // Whether `face` has a glyph for each of `length` UTF-16 characters. A
    // system that cannot say is taken at its word that the face is Hangul.
    bool Draws(HDC screen, const char* face, const WCHAR* text, int length) const {
        const HFONT font = CreateHangulFont(face, -16);
        const HGDIOBJ previous = SelectObject(screen, font);
        WORD glyphs[64];
        bool drawn = true;
        if (later.getGlyphIndicesW(screen, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR) {
            for (int i = 0; i < length; ++i) drawn = drawn && glyphs[i] != 0xFFFF;
        }
        SelectObject(screen, previous);
        DeleteObject(font);
        return drawn;
    }

    // The face for the label and the buttons: the first of kHangulFaces that
    // the system lists under Hangul's charset and that has a glyph for every
    // character of the window's texts; the label's own face where none does.
    // Where the system cannot look at glyphs (before Windows 2000, or with no
    // code page 949 table), the listing alone decides.
    const char* ChooseHangulFace(HDC screen) const {
        LOGFONTA hangul;
        std::memset(&hangul, 0, sizeof hangul);
        hangul.lfCharSet = kHangulCharset;
        unsigned found = 0;
        EnumFontFamiliesExA(screen, &hangul, NoteHangulFace, reinterpret_cast<LPARAM>(&found), 0);

        WCHAR texts[64];
        int length = 0;
        bool glyphsKnown = later.getGlyphIndicesW != nullptr;
        for (const char* text : {kLabel1Text, kCmdOkText, kCmdCancelText}) {
            const int made = MultiByteToWideChar(kKoreanCodePage, 0, text, -1, texts + length,
                                                 static_cast<int>(sizeof texts / sizeof texts[0]) - length);
            glyphsKnown = glyphsKnown && made != 0;
            if (made != 0) length += made - 1;  // without the terminating null
        }
        const char* face = kLabelFontFace;
        for (unsigned i = 0; i < sizeof kHangulFaces / sizeof kHangulFaces[0]; ++i) {
            if ((found & (1u << i)) == 0) continue;
            if (!glyphsKnown || Draws(screen, kHangulFaces[i], texts, length)) {
                face = kHangulFaces[i];
                break;
            }
        }
        return face;
    }

    // The size of the window whose client area is the layout's size in
    // twips at xDpi, yDpi, with its frame at frameDpi, or at the system's
    // DPI for 0.
    SIZE WindowSize(int xDpi, int yDpi, UINT frameDpi) const {
        RECT frame = {0, 0, TwipsToPixels(kClientWidthTwips, xDpi), TwipsToPixels(kClientHeightTwips, yDpi)};
        if (frameDpi != 0 && later.adjustWindowRectExForDpi != nullptr) {
            later.adjustWindowRectExForDpi(&frame, kStyle, FALSE, 0, frameDpi);
        } else {
            AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
        }
        return {frame.right - frame.left, frame.bottom - frame.top};
    }

    // The DPI Windows draws the window's frame at, 0 for the system's. Per
    // monitor (v2, which Windows 10 1703 and later give the window, and
    // which they alone have the dialog DPI calls for), the window's own,
    // which Windows has changed already when it sends WM_DPICHANGED. Per
    // monitor v1 (8.1 to 1607) scales the client area alone.
    UINT FrameDpi() const {
        return later.setDialogDpiChangeBehavior != nullptr && later.getDpiForWindow != nullptr
                   ? later.getDpiForWindow(window)
                   : 0;
    }

    // Lays the window out at dpiX, dpiY, as a fresh start at that DPI does:
    // the label's font and the buttons' made at that DPI; each control at
    // its place in twips, and larger where the font's cell is taller or the
    // text wider (a leaded face such as Malgun Gothic, say): it grows to
    // fit, keeping its top-left corner; the window sized to hold the client
    // area, with its top-left corner at (left, top). The fonts that the
    // controls held before are deleted once they hold the new ones. GDI
    // reads the texts' bytes in the code page of the font's charset, so they
    // measure as Korean whatever the system's.
    void LayOut(int left, int top) {
        const HFONT oldLabelFont = labelFont;
        const HFONT oldDefaultFont = defaultFont;
        labelFont = CreateHangulFont(face, FontHeightForCentipoints(kLabelFontCentipoints, dpiY));
        defaultFont = CreateHangulFont(face, Scale(guiFontHeight, dpiY, guiFontDpi));
        const HDC screen = GetDC(nullptr);
        for (int i = 0; i < kControlCount; ++i) {
            const ControlTemplate& control = kControls[i];
            const HFONT font = i == kLabel1 ? labelFont : defaultFont;
            const HGDIOBJ previous = SelectObject(screen, font);
            SIZE extent;
            if (!GetTextExtentPoint32A(screen, control.text, lstrlenA(control.text), &extent)) {
                extent = {0, 0};
            }
            SelectObject(screen, previous);
            int width = TwipsToPixels(control.rect.width, dpiX);
            int height = TwipsToPixels(control.rect.height, dpiY);
            if (width < extent.cx) width = extent.cx;
            if (height < extent.cy) height = extent.cy;
            MoveWindow(controls[i], TwipsToPixels(control.rect.left, dpiX),
                       TwipsToPixels(control.rect.top, dpiY), width, height, TRUE);
            SendMessageA(controls[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        }
        ReleaseDC(nullptr, screen);
        DeleteObject(oldLabelFont);
        DeleteObject(oldDefaultFont);
        const SIZE size = WindowSize(dpiX, dpiY, FrameDpi());
        MoveWindow(window, left, top, size.cx, size.cy, TRUE);
    }

    // A control with no place or size yet, which LayOut gives it. Where the
    // dialog manager would lay it out again at another DPI, or give it the
    // dialog's font, it is told not to.
    HWND CreateControl(const ControlTemplate& what, int id) const {
        const HMENU menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        const DWORD style = what.style | WS_CHILD | WS_VISIBLE;
        HWND control = nullptr;
        WCHAR wideText[64];
        if (later.createWindowExW != nullptr && FromKorean(what.text, wideText)) {
            control = later.createWindowExW(0, what.wideClassName, wideText, style, 0, 0, 0, 0, window, menu,
                                           instance, nullptr);
        }
        if (control == nullptr) {
            control = CreateWindowExA(0, what.className, what.text, style, 0, 0, 0, 0, window, menu, instance,
                                      nullptr);
        }
        if (later.setDialogControlDpiChangeBehavior != nullptr) {
            const int off = DCDC_DISABLE_FONT_UPDATE | DCDC_DISABLE_RELAYOUT;
            later.setDialogControlDpiChangeBehavior(control, off, off);
        }
        return control;
    }

    // The dialog and its controls, laid out at the window's DPI and centred
    // in the work area.
    bool Create(HDC screen) {
        face = ChooseHangulFace(screen);
        background = CreateSolidBrush(kBackgroundColor);
        // The window's default font, which the buttons use: the system's
        // dialog font size, in a face that can draw Hangul.
        LOGFONTA gui;
        std::memset(&gui, 0, sizeof gui);
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
        guiFontDpi = GetDeviceCaps(screen, LOGPIXELSY);
        guiFontHeight = gui.lfHeight != 0 ? gui.lfHeight : FontHeightForCentipoints(800, guiFontDpi);

        // The template: the style; no extended style, controls, place, size,
        // menu or class (the system's dialog class); the title.
        alignas(4) WORD words[11 + sizeof kProgramTitle] = {LOWORD(kStyle), HIWORD(kStyle)};
        for (unsigned i = 0; i < sizeof kProgramTitle; ++i) words[11 + i] = kProgramTitle[i];
        const DLGTEMPLATE* dialog = reinterpret_cast<const DLGTEMPLATE*>(words);
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        if (later.createDialogIndirectParamW != nullptr) {
            window = later.createDialogIndirectParamW(instance, dialog, nullptr, Procedure, 0);
        }
        if (window == nullptr) window = CreateDialogIndirectParamA(instance, dialog, nullptr, Procedure, 0);
        if (window == nullptr) return false;
        platform.SetOwnerWindow(static_cast<WindowHandle>(reinterpret_cast<UINT_PTR>(window)));
        SendMessageA(window, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLEARWICK))));
        if (later.setDialogDpiChangeBehavior != nullptr) {
            later.setDialogDpiChangeBehavior(window, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
        }
        for (int i = 0; i < kControlCount; ++i) controls[i] = CreateControl(kControls[i], kLabel1Id + i);

        // The window's DPI: its own where the system knows it, else the
        // screen's. Its client area in twips, centred in the work area.
        dpiX = GetDeviceCaps(screen, LOGPIXELSX);
        dpiY = guiFontDpi;
        if (later.getDpiForWindow != nullptr) dpiX = dpiY = later.getDpiForWindow(window);
        const SIZE size = WindowSize(dpiX, dpiY, FrameDpi());
        RECT work;
        if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
            work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        }
        LayOut(work.left + (work.right - work.left - size.cx) / 2,
               work.top + (work.bottom - work.top - size.cy) / 2);
        // OK has the focus, by SetFocus: the dialog manager's own moves of
        // the focus make the button they reach the default one.
        SetFocus(controls[kCmdOK]);
        return true;
    }

    int Run() {
        current = this;
        const HDC screen = GetDC(nullptr);
        const bool made = Create(screen);
        const ErrorCode error = GetLastError();  // before ReleaseDC can change it
        ReleaseDC(nullptr, screen);
        if (!made) {
            platform.RuntimeError(Failure::NoWindow, nullptr, error);
            return 1;
        }
        ShowWindow(window, SW_SHOWNORMAL);

        // A modeless dialog's loop: Tab, Shift+Tab and Space between the buttons.
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (IsDialogMessageA(window, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        return static_cast<int>(message.wParam);
    }

    // What the dialog manager leaves to the dialog, and where this one
    // differs from a dialog's habits.
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_COMMAND:
                if (HIWORD(wParam) == BN_SETFOCUS) focus = reinterpret_cast<HWND>(lParam);  // see WM_SETFOCUS
                // Only the buttons' own clicks: the dialog keys' IDOK and
                // IDCANCEL come with no control and are ignored. So is a
                // disabled button's, which a BM_CLICK sent to it still
                // makes on some systems.
                if (HIWORD(wParam) == BN_CLICKED && lParam != 0 &&
                    IsWindowEnabled(reinterpret_cast<HWND>(lParam))) {
                    if (LOWORD(wParam) == kCmdOkId) {
                        // The removal runs once: while it shows a message
                        // box, nothing may press either button again.
                        EnableWindow(controls[kCmdOK], FALSE);
                        EnableWindow(controls[kCmdCancel], FALSE);
                        form.cmdOK_Click();
                    }
                    if (LOWORD(wParam) == kCmdCancelId) form.cmdCancel_Click();
                }
                return TRUE;
            case WM_CTLCOLORDLG:
            case WM_CTLCOLORSTATIC:
                // The window's background, and the label's behind its text.
                SetBkColor(reinterpret_cast<HDC>(wParam), kBackgroundColor);
                return reinterpret_cast<INT_PTR>(background);
            case WM_NEXTDLGCTL:
                // Tab and Shift+Tab move the focus. The dialog manager would
                // also make the button it reaches the default one, which
                // Enter presses; neither button is ever the default.
                SetFocus(LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam)
                                             : GetNextDlgTabItem(window, GetFocus(), wParam != 0));
                return TRUE;
            case WM_SETFOCUS:
                // Unless minimised, the dialog hands the focus on to the
                // button that had it last. The dialog manager saves it on
                // deactivation, which a minimise need not bring (under Wine
                // with no window manager it does not, and Wine takes one
                // while minimised for an activation): OK would get it.
                if (!IsIconic(window)) SetFocus(focus);
                return TRUE;
            case WM_DPICHANGED: {
                // The new DPI, and the rectangle Windows suggests: the
                // window takes its top-left corner, at its own size (which
                // is the suggested one where Windows asked for it with
                // WM_GETDPISCALEDSIZE, 1703 and later).
                dpiX = LOWORD(wParam);
                dpiY = HIWORD(wParam);
                const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
                LayOut(suggested.left, suggested.top);
                return TRUE;
            }
            case WM_GETDPISCALEDSIZE: {
                // The size the window takes at that DPI, which WM_DPICHANGED
                // then suggests: not its size scaled in proportion, which
                // Windows takes otherwise. A dialog answers through
                // DWL_MSGRESULT, set just before returning TRUE.
                const int dpi = static_cast<int>(wParam);
                *reinterpret_cast<SIZE*>(lParam) = WindowSize(dpi, dpi, dpi);
                later.setWindowLongA(window, DWL_MSGRESULT, TRUE);
                return TRUE;
            }
            case WM_CLOSE:
                // The close box and Alt+F4 end the program; the dialog manager
                // would post IDCANCEL, which Escape also sends and is ignored.
                PostQuitMessage(0);
                return TRUE;
            case WM_NCDESTROY:
                // The window's last message, after its controls have gone:
                // nothing draws with its fonts and brush any more. Whoever
                // destroys the window, they go with it.
                DeleteObject(labelFont);
                DeleteObject(defaultFont);
                DeleteObject(background);
                return FALSE;
        }
        return FALSE;
    }

    // Nothing handled here comes before CreateDialogIndirectParam returns.
    static INT_PTR CALLBACK Procedure(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
        return current->Handle(message, wParam, lParam);
    }
};

Form2Window* Form2Window::current;  // set before the window exists

}  // namespace clearwick

// The process starts here, with no C run-time before it: the platform first
// (which keeps DLL loading to the system folder), then Form2's window until
// the program ends; the window's loop gives the exit code.
extern "C" void WinMainCRTStartup() {
    clearwick::Win32Platform platform;
    clearwick::Form2 form(platform);
    platform.Exit(static_cast<unsigned>(clearwick::Form2Window(form, platform).Run()));
}
