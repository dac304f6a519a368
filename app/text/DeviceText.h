// DeviceText.h -- PrintableText, PrintableChar: device text made safe for a
// terminal.
//
// Text that a device supplies (version strings, CRC, cassette number), made
// safe for a terminal: an escape sequence in it must not reach the screen.
#ifndef KV_APP_DEVICETEXT_H
#define KV_APP_DEVICETEXT_H

#include <string>

// `text` with every byte outside printable ASCII (0x20 to 0x7E) shown as '?'.
std::string PrintableText(const std::string& text);
char PrintableChar(char c);

#endif
