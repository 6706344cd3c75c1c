// Runs an unchanged clearwick.exe as Windows 95, 98 and Me would: the W calls it looks up
// fail with ERROR_CALL_NOT_IMPLEMENTED, those 9x lacks are absent (win9x_standin.cpp).
//
//   win9x_launcher [--fail-version] [--fail-window] <clearwick.exe, Windows or Unix path>
//
// It debugs the exe; at its entry point (loader done, first instruction not run) it loads
// win9x_standin.dll from beside the launcher into it and points the exe's imports of
// GetProcAddress, CreateFontIndirectA (--fail-version adds GetVersionExA, --fail-window
// CreateDialogIndirectParamA) at the DLL's stand-ins, in the running image's import table
// only, never the file. It prints every debug string (the stand-ins tell each answer) and
// ends when the exe does, with its exit code: waiting for it is waiting for the tool.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../wine/probe_dll.h"

namespace {

const char kDll[] = "win9x_standin.dll";

void Say(const char* format, ...) {
    std::printf("win9x_launcher: ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);  // the test reads the log while the tool runs
}

template <typename T>
bool Read(HANDLE process, const void* at, T* out) {
    return ReadProcessMemory(process, at, out, sizeof *out, nullptr) != 0;
}

// A null-terminated string of the other process, at most 255 characters.
std::string ReadString(HANDLE process, const void* at) {
    char text[256] = "";
    SIZE_T got = 0;
    // Near the end of a mapping a whole read fails; read a byte at a time then.
    if (!ReadProcessMemory(process, at, text, sizeof text - 1, &got)) {
        for (got = 0; got < sizeof text - 1; ++got) {
            if (!Read(process, static_cast<const char*>(at) + got, &text[got]) || text[got] == '\0') break;
        }
    }
    text[sizeof text - 1] = '\0';
    return text;
}

bool Write(HANDLE process, void* at, const void* data, size_t size) {
    DWORD old = 0;
    if (!VirtualProtectEx(process, at, size, PAGE_EXECUTE_READWRITE, &old)) return false;
    const bool written = WriteProcessMemory(process, at, data, size, nullptr) != 0;
    VirtualProtectEx(process, at, size, old, &old);
    FlushInstructionCache(process, at, size);
    return written;
}

bool ReadNtHeaders(HANDLE process, BYTE* base, IMAGE_NT_HEADERS32* nt) {
    IMAGE_DOS_HEADER dos;
    return Read(process, base, &dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
           Read(process, base + dos.e_lfanew, nt) && nt->Signature == IMAGE_NT_SIGNATURE;
}

struct Patch {
    const char* dll;
    const char* function;
    const char* standIn;  // the export of win9x_standin.dll
    bool done = false;
};

// Writes each patch's stand-in address (in the DLL loaded at module) into its import's
// slot of the import address table, which the loader has filled by now.
bool PatchImports(HANDLE process, BYTE* base, const std::string& dllPath, DWORD module,
                  std::vector<Patch>& patches) {
    IMAGE_NT_HEADERS32 nt;
    if (!ReadNtHeaders(process, base, &nt)) return false;
    const IMAGE_DATA_DIRECTORY& imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (DWORD at = imports.VirtualAddress; imports.VirtualAddress != 0;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (!Read(process, base + at, &descriptor)) return false;
        if (descriptor.Name == 0) break;
        const std::string dll = ReadString(process, base + descriptor.Name);
        // Names from the lookup table: the address table beside it holds addresses now.
        const DWORD names = descriptor.OriginalFirstThunk;
        if (names == 0) {
            Say("%s has no import lookup table", dll.c_str());
            return false;
        }
        for (DWORD i = 0;; ++i) {
            IMAGE_THUNK_DATA32 thunk;
            if (!Read(process, base + names + i * sizeof thunk, &thunk)) return false;
            if (thunk.u1.AddressOfData == 0) break;
            if (IMAGE_SNAP_BY_ORDINAL32(thunk.u1.Ordinal)) continue;
            const std::string function = ReadString(process, base + thunk.u1.AddressOfData + 2);
            for (Patch& patch : patches) {
                if (lstrcmpiA(dll.c_str(), patch.dll) != 0 || function != patch.function) continue;
                const auto address =
                    static_cast<DWORD>(probe_dll::RemoteExport(dllPath.c_str(), module, patch.standIn));
                if (address == 0) Say("%s has no export %s", kDll, patch.standIn);
                void* slot = base + descriptor.FirstThunk + i * sizeof(DWORD);
                DWORD was = 0;
                Read(process, slot, &was);
                if (address == 0 || !Write(process, slot, &address, sizeof address)) return false;
                Say("import %s!%s: %#lx -> %s!%s at %#lx", dll.c_str(), function.c_str(), was, kDll,
                    patch.standIn, address);
                patch.done = true;
            }
        }
    }
    bool all = true;
    for (const Patch& patch : patches) {
        if (!patch.done) Say("the exe does not import %s!%s", patch.dll, patch.function);
        all = all && patch.done;
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // the log is read on Unix: lines end in LF
    std::vector<Patch> patches = {
        {"KERNEL32.dll", "GetProcAddress", "StandInGetProcAddress"},
        {"GDI32.dll", "CreateFontIndirectA", "StandInCreateFontIndirectA"},
    };
    // Each option points one more import at a stand-in that fails.
    int arg = 1;
    for (; arg + 1 < argc; ++arg) {
        if (std::strcmp(argv[arg], "--fail-version") == 0) {
            patches.push_back({"KERNEL32.dll", "GetVersionExA", "StandInGetVersionExA"});
        } else if (std::strcmp(argv[arg], "--fail-window") == 0) {
            patches.push_back(
                {"USER32.dll", "CreateDialogIndirectParamA", "StandInCreateDialogIndirectParamA"});
        } else {
            break;
        }
    }
    if (arg + 1 != argc) {
        std::printf("usage: win9x_launcher [--fail-version] [--fail-window] <clearwick.exe>\n");
        return 2;
    }
    const std::string exe = wine_test::WindowsPath(argv[arg]);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dllPath = self;
    dllPath = dllPath.substr(0, dllPath.find_last_of("\\/") + 1) + kDll;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION tool = {};
    std::string command = "\"" + exe + "\"";
    // The tool inherits the launcher's current directory.
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &tool)) {
        Say("cannot start %s: error %lu", exe.c_str(), GetLastError());
        return 1;
    }
    Say("started %s, process %lu", exe.c_str(), tool.dwProcessId);

    BYTE* base = nullptr;
    BYTE* entry = nullptr;
    BYTE entryByte = 0;
    bool loaderBreakSeen = false;
    DWORD loaderThread = 0;  // the thread that loads the DLL into the tool
    // Fails the launch: the tool must not run unpatched.
    auto abandon = [&](const char* why) {
        Say("%s (error %lu); ending the tool", why, GetLastError());
        TerminateProcess(tool.hProcess, 3);
    };

    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) {
            Say("WaitForDebugEvent failed: error %lu", GetLastError());
            return 1;
        }
        DWORD reply = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT: {
                if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
                base = static_cast<BYTE*>(event.u.CreateProcessInfo.lpBaseOfImage);
                IMAGE_NT_HEADERS32 nt;
                if (!ReadNtHeaders(tool.hProcess, base, &nt)) {
                    abandon("cannot read the exe's headers");
                    break;
                }
                entry = base + nt.OptionalHeader.AddressOfEntryPoint;
                break;
            }
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                std::string text(info.nDebugStringLength, '\0');
                if (!info.fUnicode && ReadProcessMemory(tool.hProcess, info.lpDebugStringData, &text[0],
                                                        text.size(), nullptr)) {
                    text.resize(std::strlen(text.c_str()));
                    std::printf("%s", text.c_str());
                    std::fflush(stdout);
                }
                break;
            }
            case EXCEPTION_DEBUG_EVENT: {
                const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
                if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    if (!event.u.Exception.dwFirstChance) {
                        Say("the tool did not handle exception %#lx at %p", record.ExceptionCode,
                            record.ExceptionAddress);
                    }
                    reply = DBG_EXCEPTION_NOT_HANDLED;
                    break;
                }
                if (!loaderBreakSeen) {
                    // The loader's own breakpoint: the exe is relocated and
                    // its imports are bound. Stop again at its entry point.
                    loaderBreakSeen = true;
                    const BYTE breakpoint = 0xCC;
                    if (entry == nullptr || !Read(tool.hProcess, entry, &entryByte) ||
                        !Write(tool.hProcess, entry, &breakpoint, 1)) {
                        abandon("cannot set a breakpoint at the exe's entry point");
                    }
                    break;
                }
                if (record.ExceptionAddress != entry || event.dwThreadId != tool.dwThreadId ||
                    loaderThread != 0) {
                    reply = DBG_EXCEPTION_NOT_HANDLED;  // not ours
                    break;
                }
                // At the entry point: take the breakpoint out and back the thread up
                // onto the first instruction, held there while another loads the DLL.
                CONTEXT context = {};
                context.ContextFlags = CONTEXT_CONTROL;
                if (!Write(tool.hProcess, entry, &entryByte, 1) ||
                    !GetThreadContext(tool.hThread, &context)) {
                    abandon("cannot take the entry point's breakpoint out");
                    break;
                }
                context.Eip = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(entry));
                SetThreadContext(tool.hThread, &context);
                SuspendThread(tool.hThread);
                // Not probe_dll::LoadInto: the thread cannot run while this
                // one waits for it instead of answering its debug events.
                void* remotePath = probe_dll::CopyInto(tool.hProcess, dllPath.c_str(), dllPath.size() + 1);
                const auto loadLibrary =
                    reinterpret_cast<LPTHREAD_START_ROUTINE>(probe_dll::LoadLibraryAddress());
                const HANDLE thread =
                    remotePath == nullptr ? nullptr
                                          : CreateRemoteThread(tool.hProcess, nullptr, 0, loadLibrary,
                                                               remotePath, 0, &loaderThread);
                if (thread == nullptr) {
                    abandon("cannot start a thread in the tool to load the DLL");
                    break;
                }
                CloseHandle(thread);
                break;
            }
            case EXIT_THREAD_DEBUG_EVENT:
                if (event.dwThreadId == loaderThread && loaderThread != 0) {
                    // LoadLibraryA's result is the thread's exit code: the
                    // DLL's base, which fits 32 bits in a 32-bit process.
                    const DWORD module = event.u.ExitThread.dwExitCode;
                    if (module == 0) {
                        abandon(("the tool could not load " + dllPath).c_str());
                    } else if (!PatchImports(tool.hProcess, base, dllPath, module, patches)) {
                        abandon("cannot point the exe's imports at the stand-ins");
                    } else {
                        Say("%s loaded at %#lx; the tool runs on", kDll, module);
                        ResumeThread(tool.hThread);
                    }
                    loaderThread = 0xFFFFFFFF;  // done
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT: {
                const DWORD code = event.u.ExitProcess.dwExitCode;
                Say("the tool ended with exit code %lu", code);
                ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                CloseHandle(tool.hThread);
                CloseHandle(tool.hProcess);
                return static_cast<int>(code);
            }
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, reply);
    }
}
