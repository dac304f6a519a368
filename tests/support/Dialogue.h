// The pieces of kvfwdn's dialogue that the main menu, the printer menu and
// the dispenser menu share, text by text, for the end-to-end tests. The
// device headers (test_e2e_cdu_dialogue.h, test_e2e_rpu_dialogue.h) build
// their own texts from these.
#ifndef KV_TESTS_DIALOGUE_H
#define KV_TESTS_DIALOGUE_H

#include <string>
#include <vector>

namespace dialogue {

// A menu frame: a border, each line after " *  " filled with blanks to the
// frame's width, a border and the key prompt.
inline std::string Frame(const std::vector<std::string>& lines) {
    const std::string border = "\n " + std::string(49, '*');
    std::string text = border;
    for (const std::string& line : lines) {
        std::string cell = line.empty() ? "" : "  " + line;
        cell.resize(48, ' ');
        text += "\n *" + cell;
    }
    return text + border + "\n# ";
}

inline std::string MainFrame() {
    return dialogue::Frame({"KALVOND FIRMWARE DOWNLOADER Rev0.1", "", "1 : RPU ( RECEIPT PRINTER )",
                            "2 : CDU ( CASH DISPENSER  )", "ANY KEY : Quit Program", ""});
}

// The last line of the program, after the main menu is left.
inline std::string ProgramEnd() {
    return "\n -- LINUX F/W Download Program END --\n";
}

inline std::string PortPrompt(const std::string& saved) {
    return " *** Input serial port name ***\n"
           " The currently saved port name is (" +
           saved +
           ").\n"
           " Press ENTER to keep or input Port name to change.\n"
           " - Input Port Name : ";
}

// The path prompt with the device's example file (nothing saved yet) or
// with the saved path.
inline std::string PathPrompt(const std::string& saved, const std::string& exampleFile) {
    std::string text = " *** Input F/W file path ***\n";
    if (saved.empty()) {
        text += " Enter the file path as a relative or absolute path.\n"
                " (ex: /home/user/FW/" +
                exampleFile +
                ")\n"
                " (ex: ../FW/" +
                exampleFile + ")\n";
    } else {
        text += " The currently saved F/W file path is (" + saved +
                ").\n"
                " Press ENTER to keep or input F/W file path to change.\n";
    }
    return text + " - Input F/W file path : ";
}

// `position` is where DIP 1 goes for the online mode: "ON" or "OFF".
inline std::string OnlineModeHelp(const std::string& position) {
    return " The serial port could not be opened or no response.\n"
           " Please, verify the online mode settings and the serial port.\n"
           " Reset device then try again...\n"
           " Online mode setting:\n"
           " Move No.1 DIP switch(DIP 1) to the " +
           position + " and press the Reset button\n";
}

inline std::string CannotOpenPort() {
    return " Cannot open the serial port.\n"
           " Please, check that the serial port in use and try again...\n";
}

// One drawing of a progress bar: label, 25 cells, percentage.
inline std::string Bar(const std::string& label, int percent, bool carriageReturn = true) {
    std::string s = label;
    for (int j = 0; j < 25; ++j)
        s += (j == percent / 4) ? '>' : (j < percent / 4 ? '=' : ' ');
    return s + "] " + std::to_string(percent) + "%" + (carriageReturn ? "\r" : "");
}

// The message of each download result code, as the printer prints them all.
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

// The standard-error warnings of a build that carries the placeholder
// dispenser data (the test build does).
const char* const PLACEHOLDER_TABLE_WARNING =
    "kvfwdn: warning: this build carries the placeholder dispenser key table, which a real "
    "dispenser cannot read; see data/README.md\n";
const char* const PLACEHOLDER_LOADER_WARNING =
    "kvfwdn: warning: this build carries the placeholder dispenser loader, which a real "
    "dispenser cannot run; see data/README.md\n";

} // namespace dialogue

#endif
