// A DLL that form2_window_test loads into the running clearwick.exe. Its one
// export, run there on a thread of its own, measures each control's font:
// the face the font mapper really chose for it, how many characters of the
// control's text that face has no glyph for, and whether the font's cell
// height and the text's extent fit in the control's client rectangle. Fonts
// are GDI objects, which belong to the process that made them, so this has
// to run inside the tool.
//
// ProbeControlFonts(report) writes one line a control into report, a buffer
// of at least 1024 bytes, in UTF-8, and returns the number of characters
// without a glyph over all controls, plus one for each control whose text
// would be clipped; a control it cannot read counts 1000.
#include <windows.h>

namespace {

constexpr int kFirstId = 100;  // the label, OK and Cancel
constexpr int kControls = 3;
constexpr int kUnreadable = 1000;

struct Fit {
    int cell;      // the font's cell height
    SIZE extent;   // the text's, on one line
    RECT box;      // the control's client rectangle
    bool Fits() const { return cell <= box.bottom && extent.cy <= box.bottom && extent.cx <= box.right; }
};

// Missing glyphs in the control's text, in the control's font; the face's
// name goes into face, the measures into fit. Negative when the control
// cannot be measured.
int MissingGlyphs(HWND control, WCHAR (&face)[LF_FACESIZE], int& length, Fit& fit) {
    WCHAR text[128];
    length = control != nullptr ? GetWindowTextW(control, text, 128) : 0;
    if (length <= 0) return -1;
    // A control with no font set draws in the DC's own, the system font.
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    const HDC dc = GetDC(control);
    const HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
    GetTextFaceW(dc, LF_FACESIZE, face);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    fit.cell = metrics.tmHeight;
    GetTextExtentPoint32W(dc, text, length, &fit.extent);
    GetClientRect(control, &fit.box);
    WORD glyphs[128];
    int missing = -1;
    if (GetGlyphIndicesW(dc, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS) ==
        static_cast<DWORD>(length)) {
        missing = 0;
        for (int i = 0; i < length; ++i) missing += glyphs[i] == 0xFFFF;
    }
    if (old != nullptr) SelectObject(dc, old);
    ReleaseDC(control, dc);
    return missing;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI ProbeControlFonts(void* report) {
    char* out = static_cast<char*>(report);
    const HWND form = FindWindowA("#32770", "Clearwick");  // no message box is open yet
    DWORD total = 0;
    for (int id = kFirstId; id < kFirstId + kControls; ++id) {
        WCHAR face[LF_FACESIZE] = L"";
        int length = 0;
        Fit fit = {};
        const int missing =
            MissingGlyphs(form != nullptr ? GetDlgItem(form, id) : nullptr, face, length, fit);
        char faceUtf8[3 * LF_FACESIZE];
        if (WideCharToMultiByte(CP_UTF8, 0, face, -1, faceUtf8, sizeof faceUtf8, nullptr, nullptr) == 0) {
            faceUtf8[0] = '\0';
        }
        if (missing < 0) {
            out += wsprintfA(out, "control %d: unreadable (face \"%s\", %d characters)\n", id, faceUtf8,
                             length);
            total += kUnreadable;
        } else {
            out += wsprintfA(out,
                             "control %d: face \"%s\", %d characters, %d without a glyph; cell %d, "
                             "text %ldx%ld, box %ldx%ld%s\n",
                             id, faceUtf8, length, missing, fit.cell, fit.extent.cx, fit.extent.cy,
                             fit.box.right, fit.box.bottom, fit.Fits() ? "" : ": CLIPPED");
            total += missing + (fit.Fits() ? 0 : 1);
        }
    }
    return total;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
