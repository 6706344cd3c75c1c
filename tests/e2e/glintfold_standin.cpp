// Stands in for the product in the end-to-end tests: one top-level window
// titled "Glintfold", as the real one has. Each WM_CLOSE it receives appends
// the line "WM_CLOSE" to the file named on its command line, so a test can
// count the closes that arrived; then the window goes and the program exits.
//
//   glintfold_standin.exe <log file>
#include <windows.h>

#include <cstdlib>

namespace {

char g_logPath[MAX_PATH];

void AppendToLog(const char* line) {
    const HANDLE file = CreateFileA(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;  // also without a path
    DWORD written = 0;
    WriteFile(file, line, lstrlenA(line), &written, nullptr);
    CloseHandle(file);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            // Written before the window goes, so the line is on disk by the
            // time the sender's SendMessage returns.
            AppendToLog("WM_CLOSE\r\n");
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (__argc > 1) lstrcpynA(g_logPath, __argv[1], MAX_PATH);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "GlintfoldStandIn";
    if (!RegisterClassA(&windowClass)) return 1;

    // Bottom right, out of the way of the tool's window and its buttons.
    const HWND window = CreateWindowExA(0, windowClass.lpszClassName, "Glintfold",
                                        WS_OVERLAPPEDWINDOW, 760, 600, 240, 120, nullptr, nullptr,
                                        instance, nullptr);
    if (window == nullptr) return 2;
    ShowWindow(window, SW_SHOWNOACTIVATE);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
