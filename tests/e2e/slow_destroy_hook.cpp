// A global CBT hook that holds the destruction of every top-level window
// titled "Clearwick" for half a second (scaled as the tests' waits are, since
// everything else is slower too), as a slow accessibility tool or input
// method that hooks every process can. Windows (and Wine) load this DLL into
// each process that destroys a window and run the hook there, on the
// destroying thread. window_probe installs it ("window_probe hook").
#include <windows.h>

#include "../wine/check.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK SlowDestroy(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_DESTROYWND) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        char title[16] = "";
        if (GetParent(window) == nullptr && GetWindowTextA(window, title, sizeof title) > 0 &&
            lstrcmpA(title, "Clearwick") == 0) {
            Sleep(wine_test::Scaled(500));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
