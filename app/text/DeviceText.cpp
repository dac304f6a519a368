#include "app/text/DeviceText.h"

char PrintableChar(char c) {
    return (c >= 0x20 && c <= 0x7E) ? c : '?';
}

std::string PrintableText(const std::string& text) {
    std::string shown = text;
    for (char& c : shown)
        c = PrintableChar(c);
    return shown;
}
