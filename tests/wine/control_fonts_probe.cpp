// Loaded by form2_window_test and window_probe into the running clearwick.exe;
// its exports run there on a thread of their own (see probe_dll.h): fonts
// belong to the process that made them. Each writes UTF-8 into 1024 bytes.
//
// ProbeControlFonts(report): a line a control: the face the font mapper really
// chose, its text's characters without a glyph, whether the font's cell and the
// text's extent fit its client rectangle. Returns the glyphless characters, plus
// one per clipped control and 1000 per control it cannot read.
//
// ProbeLayout(report): the client size, and each control's place and size
// in the client area and its font's height and face.
//
// ChangeDpi(probe_dll::DpiChange): WM_GETDPISCALEDSIZE, then WM_DPICHANGED with
// a suggested rectangle of the answered size, as Windows tells a window its DPI
// changed; sent from here, so lParam points at the tool's data. Fills in the
// answers, how many of the controls' old fonts survive, and the layout after.
// It and ProbeLayout return 0, or 1000 without the window.
#include <windows.h>

#include "wine/probe_dll.h"

namespace {

constexpr int kFirstId = 100;  // the label, OK and Cancel
constexpr int kControls = 3;
constexpr int kUnreadable = 1000;

HFONT FontOf(HWND control) { return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)); }

// The face's name in UTF-8, empty if it cannot be converted.
void ToUtf8(const WCHAR* face, char (&out)[3 * LF_FACESIZE]) {
    if (WideCharToMultiByte(CP_UTF8, 0, face, -1, out, sizeof out, nullptr, nullptr) == 0) out[0] = '\0';
}

// Writes the control's line into out. Returns its characters without a glyph,
// plus one if cell or extent overflows its client area; 1000 if unmeasurable.
DWORD MeasureControl(HWND control, int id, char*& out) {
    WCHAR text[128], face[LF_FACESIZE] = L"";
    const int length = control != nullptr ? GetWindowTextW(control, text, 128) : 0;
    int missing = -1;
    bool fits = false;
    TEXTMETRICW metrics = {};
    SIZE extent = {};
    RECT box = {};
    if (length > 0) {
        // A control with no font set draws in the DC's own, the system font.
        const HFONT font = FontOf(control);
        const HDC dc = GetDC(control);
        const HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
        GetTextFaceW(dc, LF_FACESIZE, face);
        GetTextMetricsW(dc, &metrics);
        GetTextExtentPoint32W(dc, text, length, &extent);
        GetClientRect(control, &box);
        fits = metrics.tmHeight <= box.bottom && extent.cy <= box.bottom && extent.cx <= box.right;
        WORD glyphs[128];
        if (GetGlyphIndicesW(dc, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS) ==
            static_cast<DWORD>(length)) {
            missing = 0;
            for (int i = 0; i < length; ++i) missing += glyphs[i] == 0xFFFF;
        }
        if (old != nullptr) SelectObject(dc, old);
        ReleaseDC(control, dc);
    }
    char faceUtf8[3 * LF_FACESIZE];
    ToUtf8(face, faceUtf8);
    if (missing < 0) {
        out += wsprintfA(out, "control %d: unreadable (face \"%s\", %d characters)\n", id, faceUtf8, length);
        return kUnreadable;
    }
    out += wsprintfA(out,
                     "control %d: face \"%s\", %d characters, %d without a glyph; cell %ld, text %ldx%ld, "
                     "box %ldx%ld%s\n",
                     id, faceUtf8, length, missing, metrics.tmHeight, extent.cx, extent.cy, box.right,
                     box.bottom, fits ? "" : ": CLIPPED");
    return missing + (fits ? 0 : 1);
}

// This process's tool window (another instance has one of the same title): a
// "Clearwick" dialog with control 100, the label, which a message box lacks.
HWND FindForm() {
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, "#32770", "Clearwick")) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId() && GetDlgItem(window, kFirstId) != nullptr) return window;
    }
    return nullptr;
}

void WriteLayout(HWND form, char* out) {
    RECT client = {};
    GetClientRect(form, &client);
    out += wsprintfA(out, "client %ldx%ld\n", client.right, client.bottom);
    for (int id = kFirstId; id < kFirstId + kControls; ++id) {
        const HWND control = GetDlgItem(form, id);
        RECT box = {};
        GetWindowRect(control, &box);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
        LOGFONTW font = {};
        GetObjectW(FontOf(control), sizeof font, &font);
        char face[3 * LF_FACESIZE];
        ToUtf8(font.lfFaceName, face);
        out += wsprintfA(out, "control %d at %ld,%ld %ldx%ld, font %ld \"%s\"\n", id, box.left, box.top,
                         box.right - box.left, box.bottom - box.top, font.lfHeight, face);
    }
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI ProbeLayout(void* report) {
    const HWND form = FindForm();
    if (form == nullptr) return kUnreadable;
    WriteLayout(form, static_cast<char*>(report));
    return 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI ChangeDpi(void* parameter) {
    probe_dll::DpiChange& change = *static_cast<probe_dll::DpiChange*>(parameter);
    const HWND form = FindForm();
    if (form == nullptr) return kUnreadable;
    HFONT before[kControls];
    for (int i = 0; i < kControls; ++i) before[i] = FontOf(GetDlgItem(form, kFirstId + i));
    RECT frame = {};
    GetWindowRect(form, &frame);
    change.scaled = {frame.right - frame.left, frame.bottom - frame.top};  // the size it would keep
    change.answered =
        SendMessageW(form, WM_GETDPISCALEDSIZE, change.dpi, reinterpret_cast<LPARAM>(&change.scaled));
    RECT suggested = {change.corner.x, change.corner.y, change.corner.x + change.scaled.cx,
                      change.corner.y + change.scaled.cy};
    SendMessageW(form, WM_DPICHANGED, MAKEWPARAM(change.dpi, change.dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(form, &frame);
    change.placed = {frame.left, frame.top};
    change.fontsLeft = 0;
    for (int i = 0; i < kControls; ++i) change.fontsLeft += GetObjectType(before[i]) != 0;
    WriteLayout(form, change.layout);
    return 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI ProbeControlFonts(void* report) {
    char* out = static_cast<char*>(report);
    const HWND form = FindForm();
    DWORD total = 0;
    for (int id = kFirstId; id < kFirstId + kControls; ++id) {
        total += MeasureControl(form != nullptr ? GetDlgItem(form, id) : nullptr, id, out);
    }
    return total;
}

// Wine runs another process's CreateRemoteThread as a call by a thread of the
// target: one waiting on the wineserver if any, else the first, interrupted by
// a signal wherever it is. Interrupted in the C library's allocator (repainting
// after a DPI change, say), the tool starts the thread there and deadlocks, the
// caller with it. So while the probe is loaded one tool thread always waits on
// the wineserver, and every later call lands on a thread at rest.
namespace {
DWORD WINAPI WaitForever(void*) { return SleepEx(INFINITE, TRUE); }
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        const HANDLE waiter = CreateThread(nullptr, 0, WaitForever, nullptr, 0, nullptr);
        if (waiter != nullptr) CloseHandle(waiter);
    }
    return TRUE;
}
