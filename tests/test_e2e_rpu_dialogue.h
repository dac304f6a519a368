// The printer dialogue of kvfwdn as the technician sees it, text by text, for
// the printer's end-to-end tests: each test puts the pieces together in the
// order the tool must print them and compares the whole output.
#ifndef KV_TESTS_E2E_RPU_DIALOGUE_H
#define KV_TESTS_E2E_RPU_DIALOGUE_H

#include <string>

#include "support/Dialogue.h"

namespace rpu_dialogue {

// The shared pieces stand as they are; the printer's own overloads add the
// device's example file and DIP position.
using namespace dialogue;

inline std::string RpuFrame() {
    return dialogue::Frame({"RPU F/W Download", "", "1 : Get F/W Version and CRC",
                            "2 : F/W Download", "ANY KEY : Quit RPU F/W Download", ""});
}

// Main menu, key 1, the printer menu's first frame and the newline after
// its key.
inline std::string EnterRpuMenu() {
    return MainFrame() + "\n -- START RPU F/W DOWNLOAD -- \n" + RpuFrame() + "\n";
}

// The loop end newline, the printer menu left with q, the main menu left
// with q.
inline std::string QuitBoth() {
    return "\n" + RpuFrame() + "\n" + "\n -- RPU F/W Download END --\n" + MainFrame() +
           dialogue::ProgramEnd();
}

// The next round of the printer menu: loop end, frame, newline after the key.
inline std::string NextRound() {
    return "\n" + RpuFrame() + "\n";
}

// The path prompt with the printer's examples (nothing saved yet) or with
// the saved path.
inline std::string PathPrompt(const std::string& saved) {
    return dialogue::PathPrompt(saved, "VARNO_RPU94_20190819.bin");
}

inline std::string VersionHeading() {
    return "\n -- GET F/W VERSION AND CRC -- \n";
}

inline std::string OnlineModeHelp() {
    return dialogue::OnlineModeHelp("OFF");
}

// Everything after the port prompt of key 2 up to the question.
inline std::string DownloadQuestion(const std::string& savedPath) {
    return "\n" + PathPrompt(savedPath) +
           "\n -- START RPU F/W DOWNLOAD -- \n"
           " Please check if the RPU is in BOOT MODE before downloading.\n"
           " Boot mode setting:\n"
           " Move No.1 DIP switch(DIP 1) to the ON and press the Reset button\n"
           " Do you want to start f/w download? (Y/n) : ";
}

// The progress bar text of a transfer of `packets` packets of which the last
// may be partial, as drawn after each one ("\r" after full packets only),
// and the newline of a transfer that ended well. A transfer that failed
// after `drawn` packets shows only their bars and no newline.
inline std::string ProgressBars(const std::string& label, int packets, bool lastPartial,
                                int drawn = -1) {
    std::string text;
    int upTo = drawn < 0 ? packets : drawn;
    for (int done = 1; done <= upTo; ++done) {
        text += dialogue::Bar(label, done * 100 / packets, !(lastPartial && done == packets));
    }
    return upTo == packets ? text + "\n" : text;
}

} // namespace rpu_dialogue

#endif
