// What kvsim's devices share: their fault lists, the files they write, and
// the removal of their port links.
#ifndef KV_KVSIM_KVSIMFILES_H
#define KV_KVSIM_KVSIMFILES_H

#include <string>
#include <vector>

// Splits a comma-separated fault list; "none" and empty items are dropped.
// False with *error set ("unknown <what> fault ...") for a name not in
// `known`; *faults is then unchanged.
bool KvsimParseFaults(const std::string& list, const std::vector<std::string>& known,
                      const std::string& what, std::vector<std::string>* faults,
                      std::string* error);
// "none", or the faults joined by commas.
std::string KvsimFaultText(const std::vector<std::string>& faults);

// Writes `bytes` to `path`; false when the file cannot be written whole.
bool KvsimWriteFile(const std::string& path, const std::vector<unsigned char>& bytes);
// Writes a flash from its start up to the last byte that is not erased.
bool KvsimSaveFlash(std::vector<unsigned char> flash, const std::string& path);
// `size` bytes of a fixed pattern for a firmware file to try, with `marker`
// (may be empty) written at offset 32.
std::vector<unsigned char> KvsimSampleImage(size_t size, unsigned seed, const std::string& marker);

// Removes the link at `link` if it still points at `target` (a later kvsim
// on the same directory may have made its own).
void KvsimRemoveLink(const std::string& link, const std::string& target);

#endif
