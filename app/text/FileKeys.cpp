// JSON strings are UTF-8: a file name of other bytes would lose them there,
// so the record could no longer name the file; the hex keeps every byte.
#include "app/text/FileKeys.h"

#include "serial/SafeText.h"

using nlohmann::json;

void SetFileKeys(json* keys, const std::string& name) {
    if (IsValidUtf8(name)) {
        (*keys)["file"] = name;
        (*keys)["file_hex"] = nullptr;
        return;
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : name) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    (*keys)["file"] = Utf8Replaced(name);
    (*keys)["file_hex"] = hex;
}

std::string FileNameOfKeys(const json& keys) {
    const json& hex = keys.value("file_hex", json());
    if (!hex.is_string()) {
        const json& file = keys.value("file", json());
        return file.is_string() ? file.get<std::string>() : "";
    }
    const std::string& digits = hex.get_ref<const std::string&>();
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string name;
    for (size_t at = 0; at + 1 < digits.size(); at += 2)
        name += static_cast<char>(nibble(digits[at]) * 16 + nibble(digits[at + 1]));
    return name;
}
