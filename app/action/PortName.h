// Port names and file paths typed by a person: the downloaders' field
// sizes, FitPortName and NoteResolvedPortName.
#ifndef KV_APP_PORTNAME_H
#define KV_APP_PORTNAME_H

#include <cstddef>
#include <string>

#include "cdu/CduFwDn.h"
#include "rpu/RpuFwDn.h"

// The size of the downloaders' port field, terminator included.
const size_t kPortNameField = sizeof(CKvRPUFwDn::szPortName);
// The size of the downloaders' path field, and the longest path taken
// (a path cut short may name another file, which would be flashed).
const size_t kPathField = sizeof(CKvRPUFwDn::szFilePath);
const size_t kPathMax = kPathField - 2;
static_assert(sizeof(CKvCDUFwDn::szPortName) == kPortNameField, "one port field");
static_assert(sizeof(CKvCDUFwDn::szFilePath) == kPathField, "one path field");

// The name to use for a typed port name: the name itself when it fits the
// field, else the device path it resolves to (a /dev/serial/by-id link) when
// that fits. False when neither fits.
bool FitPortName(const std::string& typed, std::string* fitted);
// Says on standard error which device a long port name was taken as.
void NoteResolvedPortName(const std::string& typed, const std::string& device);

#endif
