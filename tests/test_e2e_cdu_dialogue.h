// The dispenser dialogue of kvfwdn as the technician sees it, text by text,
// for the dispenser's end-to-end tests: each test puts the pieces together
// in the order the tool must print them and compares the whole output.
#ifndef KV_TESTS_E2E_CDU_DIALOGUE_H
#define KV_TESTS_E2E_CDU_DIALOGUE_H

#include <string>

namespace cdu_dialogue {

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

inline std::string CduFrame() {
    return "\n *************************************************"
           "\n *  CDU F/W Download                              "
           "\n *                                                "
           "\n *  1 : Get F/W Version and Cassette Number       "
           "\n *  2 : Set Cassette Number                       "
           "\n *  3 : F/W Download                              "
           "\n *  ANY KEY : Quit CDU F/W Download               "
           "\n *                                                "
           "\n *************************************************"
           "\n# ";
}

// Main menu, key 2, the dispenser menu's first frame.
inline std::string EnterCduMenu() {
    return MainFrame() + "\n -- START CDU F/W DOWNLOAD -- \n" + CduFrame();
}

// The dispenser menu drawn again, left with q (silently), the main menu
// left with q.
inline std::string QuitBoth() {
    return CduFrame() + MainFrame() + "\n -- LINUX F/W Download Program END --\n";
}

inline std::string PortPrompt(const std::string& saved) {
    return " *** Input serial port name ***\n"
           " The currently saved port name is (" +
           saved +
           ").\n"
           " Press ENTER to keep or input Port name to change.\n"
           " - Input Port Name : ";
}

inline std::string PathPrompt(const std::string& saved) {
    std::string text = " *** Input F/W file path ***\n";
    if (saved.empty()) {
        text += " Enter the file path as a relative or absolute path.\n"
                " (ex: /home/user/FW/IMBRA2_0G2A09_20200122.bin)\n"
                " (ex: ../FW/IMBRA2_0G2A09_20200122.bin)\n";
    } else {
        text += " The currently saved F/W file path is (" + saved +
                ").\n"
                " Press ENTER to keep or input F/W file path to change.\n";
    }
    return text + " - Input F/W file path : ";
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
    return " The serial port could not be opened or no response.\n"
           " Please, verify the online mode settings and the serial port.\n"
           " Reset device then try again...\n"
           " Online mode setting:\n"
           " Move No.1 DIP switch(DIP 1) to the ON and press the Reset button\n";
}

inline std::string CannotOpenPort() {
    return " Cannot open the serial port.\n"
           " Please, check that the serial port in use and try again...\n";
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

// One drawing of a progress bar: label, 25 cells, percentage.
inline std::string Bar(const std::string& label, int percent, bool carriageReturn = true) {
    std::string s = label;
    for (int j = 0; j < 25; ++j)
        s += (j == percent / 4) ? '>' : (j < percent / 4 ? '=' : ' ');
    return s + "] " + std::to_string(percent) + "%" + (carriageReturn ? "\r" : "");
}

// The loader transfer's bar after each of `acked` blocks of `blocks`, and
// the newline that ends it.
inline std::string LoaderBars(int acked, int blocks) {
    std::string s;
    for (int k = 1; k <= acked; ++k)
        s += Bar(" Download : [", k * 100 / blocks);
    return s + "\n";
}

inline std::string ResultMessage(int code) {
    switch (code) {
    case 0:
        return " Download operation finished successfully.\n"
               " Please change the device to online mode and check the version.\n";
    case -3:
        return " No response from the target.\n"
               " The Boot loader can not be started.\n"
               " Please, check the boot mode configuration and the flash protection status.\n"
               " Reset device then try again...\n";
    case -4:
        return " Failed to firmware data download.\n Please reset the board and try again.\n";
    case -6:
        return " Cannot open the serial port.\n"
               " The port may be used by another application\n"
               " Please, check that the serial port in use and try again...\n";
    default:
        return "(no message for this code in the dispenser tests)";
    }
}

} // namespace cdu_dialogue

#endif
