// The minisign file formats, verified with libsodium.
#include "app/policy/Minisign.h"

#include <cstdio>
#include <cstring>
#include <sodium.h>
#include <vector>

namespace {

const char* const UNTRUSTED = "untrusted comment: ";
const char* const TRUSTED = "trusted comment: ";

// The text's lines without their LF (and a CR before it).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool StartsWith(const std::string& text, const char* head) {
    return text.compare(0, strlen(head), head) == 0;
}

// Decodes base64 that must give exactly `size` bytes.
bool Base64(const std::string& text, unsigned char* out, size_t size) {
    unsigned char buffer[128];
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(buffer, sizeof buffer, text.c_str(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.c_str() + text.size() || length != size)
        return false;
    memcpy(out, buffer, size);
    return true;
}

bool Ready() {
    static int state = sodium_init();
    return state >= 0;
}

} // namespace

bool ParseMinisignKey(const std::string& text, MinisignKey* key, std::string* why) {
    std::vector<std::string> lines = Lines(text);
    unsigned char raw[42];
    if (lines.size() < 2 || !StartsWith(lines[0], UNTRUSTED)) {
        *why = "not a minisign public key file";
        return false;
    }
    if (!Base64(lines[1], raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') {
        *why = "not an Ed25519 minisign public key";
        return false;
    }
    memcpy(key->id, raw + 2, 8);
    memcpy(key->key, raw + 10, 32);
    return true;
}

bool ParseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* why) {
    std::vector<std::string> lines = Lines(text);
    unsigned char raw[74];
    if (lines.size() < 4 || !StartsWith(lines[0], UNTRUSTED) || !StartsWith(lines[2], TRUSTED)) {
        *why = "not a minisign signature file";
        return false;
    }
    if (!Base64(lines[1], raw, sizeof raw) || raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D')) {
        *why = "not an Ed25519 minisign signature";
        return false;
    }
    if (!Base64(lines[3], signature->global, sizeof signature->global)) {
        *why = "the trusted comment's signature is damaged";
        return false;
    }
    signature->prehashed = raw[1] == 'D';
    memcpy(signature->id, raw + 2, 8);
    memcpy(signature->signature, raw + 10, 64);
    signature->trustedComment = lines[2].substr(strlen(TRUSTED));
    return true;
}

bool VerifyMinisign(const MinisignSignature& signature, const MinisignKey& key,
                    const unsigned char* data, size_t size) {
    if (!Ready() || memcmp(signature.id, key.id, sizeof key.id) != 0)
        return false;
    unsigned char hash[crypto_generichash_BYTES_MAX];
    const unsigned char* signedBytes = data;
    size_t signedSize = size;
    if (signature.prehashed) {
        if (crypto_generichash(hash, sizeof hash, data, size, nullptr, 0) != 0)
            return false;
        signedBytes = hash;
        signedSize = sizeof hash;
    }
    if (crypto_sign_verify_detached(signature.signature, signedBytes, signedSize, key.key) != 0)
        return false;
    std::vector<unsigned char> global(signature.signature, signature.signature + 64);
    global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    return crypto_sign_verify_detached(signature.global, global.data(), global.size(), key.key) ==
           0;
}

std::string MinisignKeyId(const unsigned char id[8]) {
    // The id bytes as a little-endian 64-bit number, printed without
    // leading zeros, as minisign writes it.
    unsigned long long number = 0;
    for (int i = 7; i >= 0; --i)
        number = number << 8 | id[i];
    char text[17];
    snprintf(text, sizeof text, "%llX", number);
    return text;
}
