// Port names typed by a person, fitted to the downloaders' port field.
#ifndef KV_APP_PORTNAME_H
#define KV_APP_PORTNAME_H

#include <cstddef>
#include <string>

// The size of the downloaders' port field, terminator included.
const size_t kPortNameField = 100;

// The name to use for a typed port name: the name itself when it fits the
// field, else the device path it resolves to (a /dev/serial/by-id link) when
// that fits. False when neither fits.
bool FitPortName(const std::string& typed, std::string* fitted);
// Says on standard error which device a long port name was taken as.
void NoteResolvedPortName(const std::string& typed, const std::string& device);

#endif
