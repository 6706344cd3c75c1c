// The Windows version as a short text: family word, space, major.minor,
// for example "95/98 4.10" or "NT 5.1". The removal uses the family word to
// choose its script.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/platform_services.h"

namespace clearwick {

// Fixed-size text, so the shipped program needs no heap string. The longest
// description is "95/98 -2147483648.-2147483648" (29 characters).
struct VersionText {
    char text[32] = {};
    std::size_t length = 0;

    std::string_view view() const { return std::string_view(text, length); }
    bool empty() const { return length == 0; }
};

// Asks Windows for its version. When the query fails it shows the message
// "Error Getting Version Information" and returns empty text.
VersionText GetOsVersion(PlatformServices& platform);

}  // namespace clearwick
