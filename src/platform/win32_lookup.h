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

}  // namespace clearwick
