// Calls that not every Win32 has are looked up at run time, never imported:
// an import that the system lacks stops the exe from loading at all.
#pragma once

#include <windows.h>

namespace clearwick {

// The named function of a module the process has already loaded, or null
// where this system does not have it.
template <typename Fn>
Fn LookUp(const char* module, const char* name) {
    const HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

// A function pointer of type Fn from GetProcAddress's answer.
template <typename Fn>
Fn As(FARPROC address) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// Each function of `names` (each ended by a null character, the list by an
// empty name) in a module the process has already loaded, into `found` in
// that order: null for each that this system does not have.
inline void LookUpAll(const char* module, const char* names, FARPROC* found) {
    const HMODULE handle = GetModuleHandleA(module);
    for (; *names != '\0'; names += lstrlenA(names) + 1) {
        *found++ = handle != nullptr ? GetProcAddress(handle, names) : nullptr;
    }
}

}  // namespace clearwick
