#include "app/file/FirmwareCheck.h"

#include <cstdio>
#include <nettle/sha2.h>

#include "fwdn/DnResult.h"
#include "cdu/CduFwDn.h"
#include "fwdn/DownloadStart.h"
#include "fwdn/FirmwareImage.h"

namespace {

// An application linked at the start of the MCU's flash.
const unsigned long FLASH_BASE = kFlashBase;
const unsigned long VECTORS_END = FLASH_BASE + 8;

unsigned long Word(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long>(p[3]) << 24);
}

// The initial stack pointer: word-aligned, at most at the top of SRAM or of
// the core-coupled RAM.
bool StackInRam(unsigned long word) {
    if (word % 4 != 0)
        return false;
    return (word > 0x20000000 && word <= 0x20080000) || (word > 0x10000000 && word <= 0x10010000);
}

std::string Hex(const unsigned char* digest, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

std::string Format(const char* format, unsigned long a, unsigned long b = 0) {
    char text[160];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

// Why the image is not the vector table of a printer application, or "".
std::string VectorProblem(const FirmwareFacts& facts) {
    if (!facts.vectors)
        return Format("%lu bytes, too short for a vector table", facts.bytes);
    if (!StackInRam(facts.stack))
        return Format("stack word 0x%08lX is not a word-aligned RAM address", facts.stack);
    unsigned long target = facts.reset & ~1UL;
    if ((facts.reset & 1) == 0 || target < VECTORS_END || target >= FLASH_BASE + facts.bytes)
        return Format("reset address 0x%08lX is not a Thumb address inside the image "
                      "(0x08000008 to 0x%08lX)",
                      facts.reset, FLASH_BASE + facts.bytes - 1);
    return "";
}

} // namespace

void CheckFirmware(const unsigned char* image, unsigned long size, FirmwareFacts* facts) {
    *facts = FirmwareFacts();
    facts->bytes = size;
    struct sha256_ctx ctx;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    if (size > 0)
        sha256_update(&ctx, size, image);
    sha256_digest(&ctx, sizeof digest, digest);
    facts->sha256 = Hex(digest, sizeof digest);

    if (size >= 8) {
        facts->vectors = true;
        facts->stack = Word(image);
        facts->reset = Word(image + 4);
    }
    char model[20] = {0};
    char version[8] = {0};
    unsigned char type = 0;
    if (ClassifyCduFirmware(image, size, model, &type, version) == CDU_CLASSIFIED) {
        // A version code makes it dispenser firmware, whatever model it names.
        facts->device = FW_FOR_CDU;
        facts->model = model;
        facts->version = version;
        facts->type = type;
        facts->road = type == 0 ? "bootloader" : "loader";
        facts->reason = "dispenser firmware (model " + facts->model + "), not printer firmware";
        return;
    }
    facts->reason = VectorProblem(*facts);
    if (facts->reason.empty())
        facts->device = FW_FOR_RPU;
}

const char* FirmwareDeviceName(FirmwareDevice device) {
    if (device == FW_FOR_RPU)
        return "rpu";
    return device == FW_FOR_CDU ? "cdu" : nullptr;
}

std::string FirmwareKindText(const FirmwareFacts& facts, bool withRoad) {
    if (facts.device == FW_FOR_RPU)
        return "printer firmware";
    if (facts.device == FW_FOR_NONE)
        return "not firmware for either device";
    std::string text = "dispenser firmware, model " + facts.model;
    if (withRoad)
        text += std::string(", ") + facts.road + " road";
    return text;
}

void PrintIdentityLine(const char* path, const FirmwareFacts& facts, bool withRoad) {
    fflush(stdout); // after the lines already on a shared console
    fprintf(stderr, "kvfwdn: %s: %lu bytes, sha256 %s, %s\n", path, facts.bytes,
            facts.sha256.c_str(), FirmwareKindText(facts, withRoad).c_str());
}

std::string NotDispenserReason(const FirmwareFacts& facts) {
    if (facts.device == FW_FOR_RPU)
        return "printer firmware, not dispenser firmware";
    return "no dispenser version code in it, not dispenser firmware";
}

int FirmwareFile::Load(const char* path) {
    image_ = FirmwareImage();
    facts_ = FirmwareFacts();
    FirmwareRead read = ReadFirmwareImage(path, &image_);
    if (read != FW_READ_OK) {
        image_ = FirmwareImage();
        return DnResultOfRead(read);
    }
    CheckFirmware(image_.data.get(), image_.size, &facts_);
    return DN_OK;
}
