// Lays text lines out as a Windows text file: each line followed by CR LF,
// no byte-order mark, nothing after the last line.
#pragma once

#include <cstddef>
#include <string_view>

namespace clearwick {

// Writes the file's bytes into `out` and returns their count, or returns
// `kTooLong` (writing nothing past `capacity`) when they do not fit.
constexpr std::size_t kTooLong = static_cast<std::size_t>(-1);

inline std::size_t JoinLinesCrLf(const std::string_view* lines, std::size_t count,
                                 char* out, std::size_t capacity) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view line = lines[i];
        if (capacity - used < line.size() + 2) return kTooLong;
        for (char c : line) out[used++] = c;
        out[used++] = '\r';
        out[used++] = '\n';
    }
    return used;
}

}  // namespace clearwick
