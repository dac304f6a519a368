// A byte-by-byte walk over UTF-8: overlong forms, surrogates and code
// points past U+10FFFF are not valid, so a name that holds them keeps its
// bytes apart ('?' each) rather than being read as some other character.
#include "serial/SafeText.h"

namespace {

// The length of the valid UTF-8 sequence at `at` (1 to 4), or 0; its code
// point goes to `*code`.
size_t SequenceAt(const std::string& text, size_t at, unsigned long* code) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned long least;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, least = 0x80, *code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, least = 0x800, *code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, least = 0x10000, *code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        *code = (*code << 6) | (next & 0x3F);
    }
    if (*code < least || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string TerminalSafeName(const std::string& name) {
    std::string safe;
    for (size_t at = 0; at < name.size();) {
        unsigned long code = 0;
        size_t length = SequenceAt(name, at, &code);
        bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        if (length == 0 || control) {
            safe.append(length == 0 ? 1 : length, '?');
            at += length == 0 ? 1 : length;
        } else {
            safe.append(name, at, length);
            at += length;
        }
    }
    return safe;
}

std::string Utf8Replaced(const std::string& text) {
    std::string valid;
    for (size_t at = 0; at < text.size();) {
        unsigned long code = 0;
        size_t length = SequenceAt(text, at, &code);
        if (length == 0) {
            valid += "\xEF\xBF\xBD";
            ++at;
        } else {
            valid.append(text, at, length);
            at += length;
        }
    }
    return valid;
}

bool IsValidUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        unsigned long code = 0;
        size_t length = SequenceAt(text, at, &code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}
