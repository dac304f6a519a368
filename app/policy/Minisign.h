// Keys and signatures in the minisign tool's file formats: parsing the
// public key and signature files, the key id as the tool writes it, and the
// check of a signature (both kinds, and the trusted comment's) with
// libsodium.
#ifndef KV_APP_POLICY_MINISIGN_H
#define KV_APP_POLICY_MINISIGN_H

#include <cstddef>
#include <string>

struct MinisignKey {
    unsigned char id[8] = {0};
    unsigned char key[32] = {0}; // Ed25519 public key
};

struct MinisignSignature {
    bool prehashed = false; // "ED": over the BLAKE2b-512 of the file; "Ed": over its bytes
    unsigned char id[8] = {0};
    unsigned char signature[64] = {0};
    std::string trustedComment;     // what follows "trusted comment: "
    unsigned char global[64] = {0}; // over `signature` followed by the trusted comment
};

// Parse a public key file / a signature file; false with *why set (a few
// words) when the text is not one.
bool ParseMinisignKey(const std::string& text, MinisignKey* key, std::string* why);
bool ParseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* why);

// True when `signature` is by `key` (ids equal) and both its signatures
// verify for the `size` bytes at `data`.
bool VerifyMinisign(const MinisignSignature& signature, const MinisignKey& key,
                    const unsigned char* data, size_t size);

// The key id as the tool shows it in its key file's comment: the 8 id bytes
// in reverse order as upper-case hex, without leading zeros (so at most 16
// digits).
std::string MinisignKeyId(const unsigned char id[8]);

#endif
