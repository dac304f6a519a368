// Names (files, ports) made safe for a terminal, and the UTF-8 check behind
// it: an escape sequence or a newline in a name must not reach the screen.
#ifndef KV_SERIAL_SAFETEXT_H
#define KV_SERIAL_SAFETEXT_H

#include <string>

// `name` with every byte of a control character (C0, DEL, C1) and every
// byte that is not part of valid UTF-8 shown as '?', one per byte;
// printable UTF-8 stays as it is.
std::string TerminalSafeName(const std::string& name);
// Whether `text` is valid UTF-8 throughout.
bool IsValidUtf8(const std::string& text);
// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string Utf8Replaced(const std::string& text);

#endif
