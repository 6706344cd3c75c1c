// The two removal scripts. Each variant is written to, and started from, its
// own spelling of the path (both name the same file).
#pragma once

#include <cstddef>
#include <string_view>

namespace clearwick {

struct RemovalScript {
    const char* path;
    const std::string_view* lines;
    std::size_t lineCount;
};

// Windows 95, 98 and Me: short path, plain del, the directory stays.
inline constexpr std::string_view k9xScriptLines[] = {
    "@echo off",
    "cd C:\\progra~1\\larkvane\\",
    "del glintfold.exe",
    "del clearwick.exe",
    "del kelp_note.txt",
};

// NT family (and anything that is not 95/98): quiet deletes, then the
// directory goes if it is empty.
inline constexpr std::string_view kNtScriptLines[] = {
    "@echo off",
    "cd C:\\Program Files\\Larkvane",
    "del /q glintfold.exe",
    "del /q clearwick.exe",
    "del /q kelp_note.txt",
    "cd C:\\Program Files",
    "rmdir /q Larkvane",
    "cd C:\\",
};

inline constexpr RemovalScript k9xScript = {
    "C:\\clearwick.bat", k9xScriptLines, sizeof k9xScriptLines / sizeof k9xScriptLines[0]};
inline constexpr RemovalScript kNtScript = {
    "c:\\clearwick.bat", kNtScriptLines, sizeof kNtScriptLines / sizeof kNtScriptLines[0]};

// The family word is the version description up to its first space; only
// "95/98" picks the 9x script.
constexpr const RemovalScript& ChooseScript(std::string_view versionDescription) {
    const std::string_view family = versionDescription.substr(0, versionDescription.find(' '));
    return family == "95/98" ? k9xScript : kNtScript;
}

}  // namespace clearwick
