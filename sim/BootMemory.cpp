#include "sim/BootMemory.h"

#include <cstring>

namespace {

// Option-byte areas: the three layouts' blocks and the 0x75 dialect's block.
const uint32_t OPTION_AREAS[] = {0x1FFFF800, 0x1FFFC000, 0x1FF80000, 0x2010DFB0};
const uint32_t OPTION_AREA_SIZE = 64;

} // namespace

BootMemory::BootMemory(uint32_t flashBase, uint32_t flashSize, uint32_t pageSize, uint32_t ramBase,
                       uint32_t ramSize, bool flashClearsBits)
    : pageSize_(pageSize == 0 ? 1 : pageSize), clearsBits_(flashClearsBits) {
    areas_.push_back({flashBase, std::vector<unsigned char>(flashSize, 0xFF), true});
    areas_.push_back({ramBase, std::vector<unsigned char>(ramSize, 0x00), false});
    for (uint32_t base : OPTION_AREAS)
        areas_.push_back({base, std::vector<unsigned char>(OPTION_AREA_SIZE, 0xFF), false});
    // An unprotected part: read protection byte and complement, the other
    // option bytes erased, each with its complement.
    std::vector<unsigned char>& f1 = areas_[2].bytes;
    const unsigned char unprotected[16] = {0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                           0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
    memcpy(f1.data(), unprotected, sizeof(unprotected));
}

const BootMemory::Area* BootMemory::find(uint32_t address, uint32_t length) const {
    for (const Area& a : areas_) {
        uint64_t end = static_cast<uint64_t>(a.base) + a.bytes.size();
        if (address >= a.base && address < end && static_cast<uint64_t>(address) + length <= end)
            return &a;
    }
    return nullptr;
}

bool BootMemory::valid(uint32_t address, uint32_t length) const {
    return find(address, length) != nullptr;
}

bool BootMemory::read(uint32_t address, uint32_t length, unsigned char* out) const {
    const Area* a = find(address, length);
    if (a == nullptr)
        return false;
    if (length > 0)
        memcpy(out, a->bytes.data() + (address - a->base), length);
    return true;
}

bool BootMemory::write(uint32_t address, const unsigned char* data, uint32_t length, bool preset) {
    Area* a = const_cast<Area*>(find(address, length));
    if (a == nullptr)
        return false;
    unsigned char* at = a->bytes.data() + (address - a->base);
    for (uint32_t i = 0; i < length; ++i) {
        // Programming flash can only clear bits; an erase sets them again.
        at[i] = (a->flash && clearsBits_ && !preset) ? static_cast<unsigned char>(at[i] & data[i])
                                                     : data[i];
    }
    return true;
}

uint32_t BootMemory::pageCount() const {
    return static_cast<uint32_t>(areas_[0].bytes.size() / pageSize_);
}

bool BootMemory::pageValid(uint32_t page) const {
    return page < pageCount();
}

void BootMemory::erasePage(uint32_t page) {
    if (!pageValid(page))
        return;
    memset(areas_[0].bytes.data() + static_cast<size_t>(page) * pageSize_, 0xFF, pageSize_);
}

void BootMemory::eraseAll() {
    std::vector<unsigned char>& f = areas_[0].bytes;
    memset(f.data(), 0xFF, f.size());
}
