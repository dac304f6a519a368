#include "app/console/StepReason.h"

#include <cstdio>

namespace {

std::string Hex8(unsigned long address) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", address & 0xFFFFFFFFul);
    return text;
}

const char* PartText(ExchangePart part) {
    switch (part) {
    case PART_COMMAND:
        return "the command";
    case PART_ADDRESS:
        return "the address";
    default:
        return "the data";
    }
}

std::string Bootloader(const StepFailure& f) {
    const bool silent = f.how == FAIL_SILENT;
    const std::string at = Hex8(f.address);
    switch (f.step) {
    case STEP_START:
        if (f.how == FAIL_OTHER_BYTE) {
            char text[64];
            snprintf(text, sizeof text, "the ROM bootloader answered the sync byte with 0x%02X",
                     f.value & 0xFF);
            return text;
        }
        return "no answer from the ROM bootloader to the sync byte";
    case STEP_GET:
        if (f.how == FAIL_SHORT_LIST)
            return "Get listed " + std::to_string(f.value) + " of " + std::to_string(f.expected) +
                   " commands";
        return silent ? "no answer to Get within 3 s" : "Get refused (NACK)";
    case STEP_UNPROTECT:
        return "no answer after lifting the protection";
    case STEP_ERASE:
        return silent ? "no answer to the erase within its time-out" : "erase refused (NACK)";
    case STEP_WRITE:
        if (silent)
            return "no answer to write at " + at + " within 3 s";
        return "write refused at " + at + " (NACK after " + PartText(f.part) + ")";
    default: // STEP_VERIFY
        if (f.how == FAIL_DIFFERS)
            return "read-back differs at " + at;
        return silent ? "no answer to read at " + at + " within 3 s"
                      : "read refused at " + at + " (NACK)";
    }
}

std::string Refusal(FailHow how) {
    return how == FAIL_CANCELLED ? " (CAN)" : " (NAK)";
}

} // namespace

std::string StepReasonText(const StepFailure& f) {
    const bool silent = f.how == FAIL_SILENT;
    switch (f.step) {
    case STEP_NONE:
        return "";
    case STEP_PUSH:
        return "the loader did not start (no '~' within 10 s after the push)";
    case STEP_HANDSHAKE:
        return f.value == 'x' ? "no '~' after 'x' within 10 s" : "no 'C' after 'p' within 10 s";
    case STEP_BLOCKS:
        if (silent)
            return "no ACK for block " + std::to_string(f.value) + " within 5 s";
        return "loader refused block " + std::to_string(f.value) + Refusal(f.how);
    case STEP_END:
        if (silent)
            return "no '~' after the end of the transfer within 5 s";
        return "loader refused the end of the transfer" + Refusal(f.how);
    default:
        return Bootloader(f);
    }
}

const char* StepName(FailStep step) {
    static const char* const NAMES[] = {nullptr,     "start",  "get",    "unprotect",
                                        "erase",     "write",  "verify", "push",
                                        "handshake", "blocks", "end"};
    return NAMES[step];
}

std::string StepAddress(const StepFailure& failure) {
    return failure.hasAddress ? Hex8(failure.address) : "";
}

std::string NoAnswerText(SinkDevice device, const int* bauds, int count) {
    std::string rates;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            rates += i + 1 == count ? " or " : ", ";
        rates += std::to_string(bauds[i]);
    }
    if (device == DEVICE_PRINTER)
        return "no answer from the printer at " + rates + " baud";
    return "the dispenser did not answer at " + rates + " baud";
}
