// The dispenser dialogue of kvfwdn as the technician sees it, text by text,
// for the dispenser's end-to-end tests: each test puts the pieces together
// in the order the tool must print them and compares the whole output.
#ifndef KV_TESTS_E2E_CDU_DIALOGUE_H
#define KV_TESTS_E2E_CDU_DIALOGUE_H

#include <string>

#include "support/Dialogue.h"

namespace cdu_dialogue {

using dialogue::CannotOpenPort;
using dialogue::MainFrame;
using dialogue::PortPrompt;

inline std::string CduFrame() {
    return dialogue::Frame({"CDU F/W Download", "", "1 : Get F/W Version and Cassette Number",
                            "2 : Set Cassette Number", "3 : F/W Download",
                            "ANY KEY : Quit CDU F/W Download", ""});
}

// Main menu, key 2, the dispenser menu's first frame.
inline std::string EnterCduMenu() {
    return MainFrame() + "\n -- START CDU F/W DOWNLOAD -- \n" + CduFrame();
}

// The dispenser menu drawn again, left with q (silently), the main menu
// left with q.
inline std::string QuitBoth() {
    return CduFrame() + MainFrame() + dialogue::ProgramEnd();
}

inline std::string PathPrompt(const std::string& saved) {
    return dialogue::PathPrompt(saved, "IMBRA2_0G2A09_20200122.bin");
}

inline std::string VersionHeading() {
    return "\n -- GET F/W VERSION AND CASSETTE NUMBER -- \n";
}

inline std::string OpenSuccess(const std::string& port) {
    return "\n " + port + ",9600 Open Success\n";
}

inline std::string OpenFail(const std::string& port) {
    return "\n " + port + " Open Fail\n";
}

inline std::string VersionLine(const std::string& version) {
    return " Current F/W Ver : " + version + ", CST : " + version.substr(4, 1) + "\n";
}

inline std::string CassettePrompt() {
    return "\n - Input Cassette Number (1 ~ 6) : ";
}

inline std::string InvalidCassette() {
    return " Invalid input data. Please try agin.\n";
}

inline std::string SetHeading() {
    return "\n -- SET CDU CASSETTE NUMBER -- \n";
}

inline std::string OnlineModeHelp() {
    return dialogue::OnlineModeHelp("ON");
}

inline std::string NoFirmware() {
    return " The file was not found or it is not a firmware file\n";
}

// From the newline after the port prompt of key 3 to the heading.
inline std::string DownloadStart(const std::string& savedPath) {
    return "\n" + PathPrompt(savedPath) + "\n -- START CDU F/W DOWNLOAD -- \n";
}

// The model line, the boot-mode help and the question.
inline std::string DownloadQuestion(const std::string& model) {
    return " This file is the firmware file for " + model +
           ".\n"
           " Please check if the CDU is in BOOT MODE before downloading.\n"
           " Boot mode setting:\n"
           " Move all 4 DIP switches(DIP 1,2,3,4) to the OFF and press the Reset button\n"
           " Do you want to start f/w download? (Y/n) : ";
}

inline std::string Cancelled() {
    return " Cancel firmware download.\n";
}

inline std::string Started() {
    return " Start firmware downloading.\n";
}

// The loader transfer's bar after each of `acked` blocks of `blocks`, and
// the newline that ends it.
inline std::string LoaderBars(int acked, int blocks) {
    std::string s;
    for (int k = 1; k <= acked; ++k)
        s += dialogue::Bar(" Download : [", k * 100 / blocks);
    return s + "\n";
}

// The bootloader road's bars for a 300-byte image (three packets, the last
// partial): download, then verify, each ended by a newline.
inline std::string ThreePacketBars() {
    std::string s;
    for (const char* label : {" Download : [", " Verify   : ["})
        s += dialogue::Bar(label, 33) + dialogue::Bar(label, 66) +
             dialogue::Bar(label, 100, false) + "\n";
    return s;
}

// The dispenser prints only some of the result messages.
inline std::string ResultMessage(int code) {
    switch (code) {
    case 0:
    case -3:
    case -4:
    case -6:
        return dialogue::ResultMessage(code);
    default:
        return "(no message for this code in the dispenser tests)";
    }
}

} // namespace cdu_dialogue

#endif
