// The printer dialogue of kvfwdn as the technician sees it, text by text, for
// the printer's end-to-end tests: each test puts the pieces together in the
// order the tool must print them and compares the whole output.
#ifndef KV_TESTS_E2E_RPU_DIALOGUE_H
#define KV_TESTS_E2E_RPU_DIALOGUE_H

#include <string>

namespace rpu_dialogue {

inline std::string MainFrame() {
    return "\n *************************************************"
           "\n *  KALVOND FIRMWARE DOWNLOADER Rev0.1            "
           "\n *                                                "
           "\n *  1 : RPU ( RECEIPT PRINTER )                   "
           "\n *  2 : CDU ( CASH DISPENSER  )                   "
           "\n *  ANY KEY : Quit Program                        "
           "\n *                                                "
           "\n *************************************************"
           "\n# ";
}

inline std::string RpuFrame() {
    return "\n *************************************************"
           "\n *  RPU F/W Download                              "
           "\n *                                                "
           "\n *  1 : Get F/W Version and CRC                   "
           "\n *  2 : F/W Download                              "
           "\n *  ANY KEY : Quit RPU F/W Download               "
           "\n *                                                "
           "\n *************************************************"
           "\n# ";
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
           "\n -- LINUX F/W Download Program END --\n";
}

// The next round of the printer menu: loop end, frame, newline after the key.
inline std::string NextRound() {
    return "\n" + RpuFrame() + "\n";
}

inline std::string PortPrompt(const std::string& saved) {
    return " *** Input serial port name ***\n"
           " The currently saved port name is (" +
           saved +
           ").\n"
           " Press ENTER to keep or input Port name to change.\n"
           " - Input Port Name : ";
}

// The path prompt with the printer's examples (nothing saved yet) or with
// the saved path.
inline std::string PathPrompt(const std::string& saved) {
    std::string text = " *** Input F/W file path ***\n";
    if (saved.empty()) {
        text += " Enter the file path as a relative or absolute path.\n"
                " (ex: /home/user/FW/VARNO_RPU94_20190819.bin)\n"
                " (ex: ../FW/VARNO_RPU94_20190819.bin)\n";
    } else {
        text += " The currently saved F/W file path is (" + saved +
                ").\n"
                " Press ENTER to keep or input F/W file path to change.\n";
    }
    return text + " - Input F/W file path : ";
}

inline std::string VersionHeading() {
    return "\n -- GET F/W VERSION AND CRC -- \n";
}

inline std::string OnlineModeHelp() {
    return " The serial port could not be opened or no response.\n"
           " Please, verify the online mode settings and the serial port.\n"
           " Reset device then try again...\n"
           " Online mode setting:\n"
           " Move No.1 DIP switch(DIP 1) to the OFF and press the Reset button\n";
}

inline std::string CannotOpenPort() {
    return " Cannot open the serial port.\n"
           " Please, check that the serial port in use and try again...\n";
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

inline std::string ResultMessage(int code) {
    switch (code) {
    case 0:
        return " Download operation finished successfully.\n"
               " Please change the device to online mode and check the version.\n";
    case -1:
        return " F/W File not found.\n Please check the firmware file and try again.\n";
    case -2:
        return " Unable to read file.\n Please check the firmware file and try again.\n";
    case -3:
        return " No response from the target.\n"
               " The Boot loader can not be started.\n"
               " Please, check the boot mode configuration and the flash protection status.\n"
               " Reset device then try again...\n";
    case -4:
        return " Failed to firmware data download.\n Please reset the board and try again.\n";
    case -5:
        return " Failed to firmware data verify.\n Please reset the board and try again.\n";
    case -6:
        return " Cannot open the serial port.\n"
               " The port may be used by another application\n"
               " Please, check that the serial port in use and try again...\n";
    default:
        return " An unknown error has occurred.\n Reset device then try again\n";
    }
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
        int percent = done * 100 / packets;
        text += label;
        for (int cell = 0; cell < 25; ++cell)
            text += cell < percent / 4 ? '=' : (cell == percent / 4 ? '>' : ' ');
        text += "] " + std::to_string(percent) + "%";
        if (!(lastPartial && done == packets))
            text += "\r";
    }
    return upTo == packets ? text + "\n" : text;
}

} // namespace rpu_dialogue

#endif
