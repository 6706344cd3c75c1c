#include "version/os_check.h"

#include <cstdint>
#include <cstring>

namespace clearwick {
namespace {

constexpr const char* kQueryFailed = "Error Getting Version Information";

// Family words as they were first written down; "32s " keeps its trailing
// space, which the trimming below removes.
std::string_view FamilyWord(std::uint32_t platformId) {
    switch (platformId) {
        case kPlatformWin32s: return "32s ";
        case kPlatformWin32Windows: return "95/98";
        case kPlatformWin32Nt: return "NT";
        default: return "";
    }
}

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

void Append(VersionText& out, std::string_view piece) {
    for (char c : piece) out.text[out.length++] = c;
}

// The version fields are read as signed numbers, so 0xFFFFFFFF prints as -1.
void AppendDecimal(VersionText& out, std::uint32_t field) {
    const std::int32_t value = static_cast<std::int32_t>(field);
    std::uint32_t magnitude = value < 0 ? 0u - field : field;
    char digits[10];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) out.text[out.length++] = '-';
    while (n > 0) out.text[out.length++] = digits[--n];
}

}  // namespace

VersionText GetOsVersion(PlatformServices& platform) {
    OsVersionInfoA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;

    VersionText result;
    if (platform.GetVersionExA(&info) == 0) {
        platform.MessageBoxOk(kProgramTitle, kQueryFailed);
        return result;
    }
    Append(result, TrimSpaces(FamilyWord(info.dwPlatformId)));
    Append(result, " ");
    AppendDecimal(result, info.dwMajorVersion);
    Append(result, ".");
    AppendDecimal(result, info.dwMinorVersion);
    return result;
}

}  // namespace clearwick
