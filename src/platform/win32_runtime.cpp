// What a program without a C run-time must define itself: the functions the
// compiler calls on its own (std::string_view's find and compare, a struct
// cleared or copied whole). Plain byte loops: the data is a few hundred
// bytes, and the loops are built so that the compiler does not turn them
// back into calls to themselves (see Win32Build.cmake).
#include <cstddef>

extern "C" {

void* memset(void* destination, int value, std::size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    while (count-- != 0) *out++ = static_cast<unsigned char>(value);
    return destination;
}

void* memcpy(void* destination, const void* source, std::size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    while (count-- != 0) *out++ = *in++;
    return destination;
}

int memcmp(const void* left, const void* right, std::size_t count) {
    const unsigned char* a = static_cast<const unsigned char*>(left);
    const unsigned char* b = static_cast<const unsigned char*>(right);
    for (; count != 0; --count, ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* bytes, int value, std::size_t count) {
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    for (; count != 0; --count, ++at) {
        if (*at == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(at);
    }
    return nullptr;
}

}  // extern "C"
