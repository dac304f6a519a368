// The `file` and `file_hex` keys of a JSON result or history record, and
// the name they stand for.
#ifndef KV_APP_FILEKEYS_H
#define KV_APP_FILEKEYS_H

#include <nlohmann/json.hpp>
#include <string>

// A name that is valid UTF-8 goes into `file` as it is, `file_hex` null;
// another goes into `file` with U+FFFD for each bad byte, readable, and
// into `file_hex` as its bytes in lower-case hex, exact.
void SetFileKeys(nlohmann::json* keys, const std::string& name);
// The exact name that SetFileKeys put into `keys`.
std::string FileNameOfKeys(const nlohmann::json& keys);

#endif
