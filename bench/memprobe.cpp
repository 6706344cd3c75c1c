// memprobe TITLE: what GetProcessMemoryInfo reports for the process that
// owns the top-level window TITLE, in KiB, on one line (pid= peak_ws= ws=
// private= peak_pagefile=), so that the bench can check its own figure
// against Windows'. Exits with 1 when there is no such window or no answer.
#include <windows.h>
#include <psapi.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HWND window = FindWindowA(nullptr, argv[1]);
    if (window == nullptr) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return 1;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return 1;
    }
    std::printf("pid=%lu peak_ws=%lu ws=%lu private=%lu peak_pagefile=%lu\n",
                static_cast<unsigned long>(pid),
                static_cast<unsigned long>(counters.PeakWorkingSetSize / 1024),
                static_cast<unsigned long>(counters.WorkingSetSize / 1024),
                static_cast<unsigned long>(counters.PrivateUsage / 1024),
                static_cast<unsigned long>(counters.PeakPagefileUsage / 1024));
    CloseHandle(process);
    return 0;
}
