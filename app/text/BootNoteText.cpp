#include "app/text/BootNoteText.h"

#include <cstdio>

#include "app/text/DeviceText.h"

namespace {

void PrintNote(BootNote note, const char* port, int seconds) {
    fflush(stdout); // the note lands after what the action has shown so far
    fprintf(stderr, "%s\n", BootNoteLine(note, port, seconds).c_str());
}

} // namespace

std::string BootNoteLine(BootNote note, const char* port, int seconds) {
    std::string head = "kvfwdn: " + PrintableText(port) + ": ";
    switch (note) {
    case BOOT_NOTE_ALREADY_RUNNING:
        return head + "the ROM bootloader was already running (no reset since the last action)";
    case BOOT_NOTE_LIFT_READ:
        return head + "the flash is read-protected; lifting the protection erases it";
    case BOOT_NOTE_LIFT_WRITE:
        return head + "lifting the write protection (the ROM bootloader did not list Write or "
                      "Erase)";
    case BOOT_NOTE_WAITING:
        return head + "waiting up to " + std::to_string(seconds) +
               " s for the ROM bootloader (switch the unit to boot mode and press reset)";
    }
    return head;
}

void InstallBootNotes() {
    SetBootNoteSink(PrintNote);
}
