// Form2's window and the program's start.
//
// The window is a dialog box of the system's dialog class, which screen
// readers read aloud as it opens: the question, not only the focused button.
// A template in memory gives its frame and title; the controls are made in
// code, laid out in twips at the display's DPI.
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

// The W calls, where this system has them.
struct WideCalls {
    CreateDialogIndirectParamWFn createDialogIndirectParamW =
        LookUp<CreateDialogIndirectParamWFn>("user32.dll", "CreateDialogIndirectParamW");
    CreateWindowExWFn createWindowExW = LookUp<CreateWindowExWFn>("user32.dll", "CreateWindowExW");
    CreateFontIndirectWFn createFontIndirectW =
        LookUp<CreateFontIndirectWFn>("gdi32.dll", "CreateFontIndirectW");
    // Windows 2000 and later.
    GetGlyphIndicesWFn getGlyphIndicesW = LookUp<GetGlyphIndicesWFn>("gdi32.dll", "GetGlyphIndicesW");
};

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
    const WideCalls wide;
    HWND window = nullptr;
    HWND cmdOK = nullptr;
    HWND cmdCancel = nullptr;
    HWND focus = nullptr;  // the button that had the focus last
    HBRUSH background = nullptr;
    HFONT labelFont = nullptr;
    HFONT defaultFont = nullptr;
    int dpiX = 96;
    int dpiY = 96;

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
        if (wide.createFontIndirectW != nullptr) {
            // LOGFONTA and LOGFONTW differ only in the face name, their last field.
            LOGFONTW wideFont;
            std::memcpy(&wideFont, &font, offsetof(LOGFONTA, lfFaceName));
            if (FromKorean(face, wideFont.lfFaceName)) {
                if (const HFONT made = wide.createFontIndirectW(&wideFont)) return made;
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
        if (wide.getGlyphIndicesW(screen, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR) {
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
        bool glyphsKnown = wide.getGlyphIndicesW != nullptr;
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

    // A control at its place in twips, holding `text` in `font`. Its box is
    // its size in twips, or larger where the font's cell is taller or the
    // text wider (a leaded face such as Malgun Gothic, say): it grows to fit,
    // keeping its top-left corner. GDI reads the bytes in the code page of
    // the font's charset, so they measure as Korean whatever the system's.
    HWND CreateControl(HDC screen, const char* className, const WCHAR* wideClassName,
                       const char* text, DWORD style, const TwipRect& rect, int id, HFONT font) const {
        const HGDIOBJ previous = SelectObject(screen, font);
        SIZE extent;
        if (!GetTextExtentPoint32A(screen, text, lstrlenA(text), &extent)) extent = {0, 0};
        SelectObject(screen, previous);
        const int x = TwipsToPixels(rect.left, dpiX);
        const int y = TwipsToPixels(rect.top, dpiY);
        int width = TwipsToPixels(rect.width, dpiX);
        int height = TwipsToPixels(rect.height, dpiY);
        if (width < extent.cx) width = extent.cx;
        if (height < extent.cy) height = extent.cy;
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

    // The dialog, and its controls measured and laid out on the screen's DC.
    bool Create(HDC screen) {
        dpiX = GetDeviceCaps(screen, LOGPIXELSX);
        dpiY = GetDeviceCaps(screen, LOGPIXELSY);
        const char* face = ChooseHangulFace(screen);

        background = CreateSolidBrush(kBackgroundColor);
        labelFont = CreateHangulFont(face, FontHeightForCentipoints(kLabelFontCentipoints, dpiY));
        // The window's default font, which the buttons use: the system's
        // dialog font size, in a face that can draw Hangul.
        LOGFONTA gui;
        std::memset(&gui, 0, sizeof gui);
        GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
        defaultFont = CreateHangulFont(face, gui.lfHeight != 0 ? gui.lfHeight : FontHeightForCentipoints(800, dpiY));

        // The template: the style; no extended style, controls, place, size,
        // menu or class (the system's dialog class); the title.
        alignas(4) WORD words[11 + sizeof kProgramTitle] = {LOWORD(kStyle), HIWORD(kStyle)};
        for (unsigned i = 0; i < sizeof kProgramTitle; ++i) words[11 + i] = kProgramTitle[i];
        const DLGTEMPLATE* dialog = reinterpret_cast<const DLGTEMPLATE*>(words);
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        if (wide.createDialogIndirectParamW != nullptr) {
            window = wide.createDialogIndirectParamW(instance, dialog, nullptr, Procedure, 0);
        }
        if (window == nullptr) window = CreateDialogIndirectParamA(instance, dialog, nullptr, Procedure, 0);
        if (window == nullptr) return false;
        platform.SetOwnerWindow(static_cast<WindowHandle>(reinterpret_cast<UINT_PTR>(window)));
        SendMessageA(window, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLEARWICK))));

        // Its client area in twips, centred in the work area.
        RECT frame = {0, 0, TwipsToPixels(kClientWidthTwips, dpiX), TwipsToPixels(kClientHeightTwips, dpiY)};
        AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        RECT work;
        if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
            work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        }
        MoveWindow(window, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, width, height, FALSE);

        // In tab order; the buttons tell when they get the focus.
        CreateControl(screen, "STATIC", L"STATIC", kLabel1Text, SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                      kLabel1Rect, kLabel1Id, labelFont);
        const DWORD button = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP;
        cmdOK = CreateControl(screen, "BUTTON", L"BUTTON", kCmdOkText, button, kCmdOkRect, kCmdOkId,
                              defaultFont);
        cmdCancel = CreateControl(screen, "BUTTON", L"BUTTON", kCmdCancelText, button, kCmdCancelRect,
                                  kCmdCancelId, defaultFont);
        // OK has the focus, by SetFocus: the dialog manager's own moves of
        // the focus make the button they reach the default one.
        SetFocus(cmdOK);
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
                        EnableWindow(cmdOK, FALSE);
                        EnableWindow(cmdCancel, FALSE);
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
