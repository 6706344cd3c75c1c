// Runs control_fonts_probe.dll's exports inside a running clearwick.exe, on a
// thread of their own: fonts are GDI objects of the process that made them, and
// a message with lParam pointing at data must be sent from inside to arrive whole.
// Used by form2_window_test and e2e/window_probe; win9x_launcher has its own DLL.
#pragma once

#include <windows.h>

#include <cstring>

#include "check.h"

namespace probe_dll {

// ChangeDpi's parameter: it sends the tool's window WM_GETDPISCALEDSIZE, then
// WM_DPICHANGED for `dpi` (as Windows does on a move to a monitor of that DPI)
// with a suggested rectangle of the answered size at `corner`.
struct DpiChange {
    int dpi;                 // in
    POINT corner;            // in: the suggested rectangle's top-left
    SIZE scaled;             // out: the size WM_GETDPISCALEDSIZE gave
    LRESULT answered;        // out: what WM_GETDPISCALEDSIZE returned
    POINT placed;            // out: the window's top-left after the change
    int fontsLeft;           // out: how many fonts the controls held before still exist
    char layout[1024];       // out: the layout after the change, as ProbeLayout writes it
};

// The export's thread's exit code, or 0xFFFFFFFF when it could not be run.
inline DWORD RunRemote(HANDLE process, UINT_PTR start, void* parameter) {
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0,
                                             reinterpret_cast<LPTHREAD_START_ROUTINE>(start), parameter, 0,
                                             nullptr);
    if (thread == nullptr) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(thread, wine_test::Scaled(10000)) == WAIT_OBJECT_0) {
        GetExitCodeThread(thread, &code);
    }
    CloseHandle(thread);
    return code;
}

// A copy of size bytes of data in process's memory, or null.
inline void* CopyInto(HANDLE process, const void* data, size_t size) {
    void* copy = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return copy != nullptr && WriteProcessMemory(process, copy, data, size, nullptr) ? copy : nullptr;
}

// LoadLibraryA's address here and in all processes: kernel32 lies at one address.
inline UINT_PTR LoadLibraryAddress() {
    return reinterpret_cast<UINT_PTR>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA")));
}

// LoadLibraryA(name) run in process: the module's address there, or 0.
inline DWORD LoadInto(HANDLE process, const char* name) {
    return RunRemote(process, LoadLibraryAddress(), CopyInto(process, name, std::strlen(name) + 1));
}

// Where the export `name` of the DLL at path `dll` lies in a process that
// loaded the DLL at `base`, or 0: its offset is the same wherever it is loaded.
inline UINT_PTR RemoteExport(const char* dll, UINT_PTR base, const char* name) {
    const HMODULE local = LoadLibraryExA(dll, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    const FARPROC here = local != nullptr ? GetProcAddress(local, name) : nullptr;
    const UINT_PTR at = here == nullptr ? 0
                                        : base + (reinterpret_cast<UINT_PTR>(reinterpret_cast<void*>(here)) -
                                                  reinterpret_cast<UINT_PTR>(local));
    if (local != nullptr) FreeLibrary(local);
    return at;
}

// Runs export `name` of the DLL `dll` (a full path), at `base` in process, on a
// copy of size bytes of data, copied back after: its exit code, or 0xFFFFFFFF
// if it could not be run.
inline DWORD Call(HANDLE process, UINT_PTR base, const char* dll, const char* name, void* data, size_t size) {
    const UINT_PTR start = base != 0 ? RemoteExport(dll, base, name) : 0;
    void* remote = CopyInto(process, data, size);
    if (start == 0 || remote == nullptr) return 0xFFFFFFFF;
    const DWORD code = RunRemote(process, start, remote);
    ReadProcessMemory(process, remote, data, size, nullptr);
    return code;
}

}  // namespace probe_dll
