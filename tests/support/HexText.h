// Bytes as hex text for the tests' comparisons and digests.
#ifndef KV_TESTS_HEXTEXT_H
#define KV_TESTS_HEXTEXT_H

#include <cstddef>
#include <string>

// Two hex digits a byte, upper or lower case, `gap` between two bytes.
inline std::string HexDigits(const unsigned char* data, size_t count, bool upper,
                             const std::string& gap) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            out += gap;
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

#endif
