// The virtual bootloader's memory map: flash (erased to 0xFF, programmed by
// clearing bits, erased in pages), RAM, and the option-byte areas of the three
// layouts plus the one the 0x75 dialect keeps its write protection in.
#ifndef KV_SIM_BOOTMEMORY_H
#define KV_SIM_BOOTMEMORY_H

#include <cstdint>
#include <vector>

class BootMemory {
  public:
    BootMemory(uint32_t flashBase, uint32_t flashSize, uint32_t pageSize, uint32_t ramBase,
               uint32_t ramSize, bool flashClearsBits);

    // True when [address, address + length) lies inside one area.
    bool valid(uint32_t address, uint32_t length) const;
    // False (and nothing done) for a range outside the areas.
    bool read(uint32_t address, uint32_t length, unsigned char* out) const;
    // `preset` overwrites flash too, as a test loading the part would.
    bool write(uint32_t address, const unsigned char* data, uint32_t length, bool preset = false);
    // Pages from 0 at the flash base; false when the page lies outside flash.
    bool pageValid(uint32_t page) const;
    void erasePage(uint32_t page);
    void eraseAll();

    const std::vector<unsigned char>& flash() const { return areas_[0].bytes; }
    uint32_t pageCount() const;

  private:
    struct Area {
        uint32_t base;
        std::vector<unsigned char> bytes;
        bool flash;
    };
    const Area* find(uint32_t address, uint32_t length) const;
    std::vector<Area> areas_;
    uint32_t pageSize_;
    bool clearsBits_;
};

#endif
